#include "codec/cert_store_handle.h"

#include <gtest/gtest.h>

#include "support/test_support.h"
#include "support/x509_builder.h"

namespace kelvadrome {
namespace {

TEST(CertStoreHandle, OpensThePersonalStoreAndReadsKeyLinks) {
  testing::TempDir dir;
  testing::ScopedEnv profile("KELVADROME_PROFILE", dir.path().c_str());
  CertStoreHandle handle;
  ASSERT_EQ(handle.OpenPersonal(), 0);
  ASSERT_NE(handle.store(), nullptr);
  const auto id = handle.store()->Add(testing::MakeCertificateDer({}), AddDisposition::kNew);
  ASSERT_TRUE(id.has_value());
  EXPECT_FALSE(handle.GetKeyProvInfo(*id).has_value());
  EXPECT_EQ(handle.last_error(), 0x80092004u) << "no link: the property is not found";
  const auto link = EncodeKeyProviderLink({"c", "p", 1, 0, 2});
  ASSERT_TRUE(handle.store()->SetProperty(*id, cert_property::kKeyProviderInfo, &link));
  auto read = handle.GetKeyProvInfo(*id);
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(read->container, "c");
  EXPECT_EQ(handle.last_error(), 0u);
  EXPECT_EQ(handle.Close(), 0);
  EXPECT_EQ(handle.store(), nullptr);
  EXPECT_FALSE(handle.GetKeyProvInfo(*id).has_value()) << "no store is open";
}

TEST(CertStoreHandle, AnUnusableProfileGives5201WithThePlatformError) {
  testing::TempDir dir;
  const auto blocked = dir.WriteFile("blocked", "a file where the profile folder should be");
  testing::ScopedEnv profile("KELVADROME_PROFILE", blocked.c_str());
  CertStoreHandle handle;
  EXPECT_EQ(handle.OpenPersonal(), 5201);
  EXPECT_EQ(handle.last_error(), 5u);
  EXPECT_EQ(handle.store(), nullptr);
  EXPECT_EQ(handle.OpenMemory(), 0) << "a memory store needs no profile";
  EXPECT_TRUE(handle.store()->Enumerate()->empty());
}

}  // namespace
}  // namespace kelvadrome
