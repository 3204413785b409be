// Enrolment end to end, with the openssl command line as the certificate authority: requests made
// by the component, certificates issued for them, and their acceptance into the user's stores.
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <regex>
#include <set>

#include <gtest/gtest.h>

#include "codec/byte_buffer.h"
#include "codec/digest.h"
#include "frame/cert_component.h"
#include "ops/requests.h"
#include "platform/cert_store.h"
#include "platform/der_reader.h"
#include "platform/certificate_key.h"
#include "platform/key_container.h"
#include "platform/registry.h"
#include "platform/rsa_key.h"
#include "platform/text.h"
#include "support/openssl_ca.h"
#include "support/test_support.h"

namespace kelvadrome {
namespace {

using testing::Base64Body;
using testing::FileText;
using testing::RunCommand;
using testing::ShellQuote;

std::vector<uint8_t> FromBase64(const std::string& text) {
  ByteBuffer bytes;
  EXPECT_TRUE(bytes.Base64Decode(text.c_str()));
  return std::vector<uint8_t>(bytes.data(), bytes.data() + bytes.length());
}

std::string ToBase64(const std::vector<uint8_t>& bytes) {
  ByteBuffer text;
  EXPECT_TRUE(text.Base64Encode(bytes.data(), static_cast<int32_t>(bytes.size())));
  return text.ToString();
}

std::vector<uint8_t> Utf16Be(std::u16string_view text) {
  std::vector<uint8_t> out;
  for (const char16_t unit : text) {
    out.push_back(static_cast<uint8_t>(unit >> 8));
    out.push_back(static_cast<uint8_t>(unit & 0xFF));
  }
  return out;
}

std::vector<uint8_t> Utf16LeWithNul(std::u16string_view text) {
  std::vector<uint8_t> out;
  for (const char16_t unit : text) {
    out.push_back(static_cast<uint8_t>(unit & 0xFF));
    out.push_back(static_cast<uint8_t>(unit >> 8));
  }
  out.insert(out.end(), {0, 0});
  return out;
}

uint32_t Dword(const RegistryValue& value) {
  EXPECT_EQ(value.data.size(), 4u);
  if (value.data.size() != 4) return 0;
  return value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) |
         (static_cast<uint32_t>(value.data[3]) << 24);
}

std::string Text(const RegistryValue& value) {
  return std::string(value.data.begin(), value.data.end());
}

class EnrolmentTest : public ::testing::Test {
 protected:
  EnrolmentTest()
      : profile_("KELVADROME_PROFILE", (dir_.path() / "profile").c_str()),
        dialogs_("KELVADROME_DIALOGS", "none") {}

  testing::OpensslCa& ca() {
    if (!ca_) {
      std::filesystem::create_directories(dir_.path() / "ca");
      ca_ = std::make_unique<testing::OpensslCa>(dir_.path() / "ca");
    }
    return *ca_;
  }

  // The names of the pending records, in the registry's order.
  std::set<std::string> RecordNames() {
    auto registry = Registry::Open(Registry::Root::kCurrentUser);
    auto names = registry->SubkeyNames(kPendingRequestsKey);
    return names ? std::set<std::string>(names->begin(), names->end()) : std::set<std::string>();
  }

  RegistryValue RecordValue(const std::string& record, const char* name) {
    auto registry = Registry::Open(Registry::Root::kCurrentUser);
    auto value = registry->QueryValue(std::string(kPendingRequestsKey) + "\\" + record, name);
    EXPECT_TRUE(value.has_value()) << record << " has no " << name;
    return value.value_or(RegistryValue{});
  }

  // The record made by |make| (which must make exactly one).
  template <typename Make>
  std::string NewRecord(Make&& make) {
    const auto before = RecordNames();
    make();
    std::vector<std::string> added;
    for (const auto& name : RecordNames()) {
      if (!before.count(name)) added.push_back(name);
    }
    EXPECT_EQ(added.size(), 1u);
    return added.empty() ? std::string() : added.front();
  }

  std::vector<StoredCertificate> StoreContent(const char* name) {
    auto store = CertStore::OpenSystem(name);
    return store->Enumerate().value_or(std::vector<StoredCertificate>{});
  }

  std::vector<uint8_t> DerOf(const std::filesystem::path& pem) {
    return FromBase64(Base64Body(pem));
  }

  testing::TempDir dir_;
  testing::ScopedEnv profile_;
  testing::ScopedEnv dialogs_;
  CertComponent component_;
  std::unique_ptr<testing::OpensslCa> ca_;
};

// The DER subject the request must carry: one RDN, one commonName, a BMPString of |name|'s UTF-16
// code units (short names only: every length fits one octet).
std::vector<uint8_t> ExpectedSubject(std::u16string_view name) {
  const auto wrap = [](uint8_t tag, const std::vector<uint8_t>& content) {
    std::vector<uint8_t> element = {tag, static_cast<uint8_t>(content.size())};
    element.insert(element.end(), content.begin(), content.end());
    return element;
  };
  std::vector<uint8_t> attribute = {0x06, 0x03, 0x55, 0x04, 0x03};
  const std::vector<uint8_t> value = wrap(0x1E, Utf16Be(name));
  attribute.insert(attribute.end(), value.begin(), value.end());
  return wrap(0x30, wrap(0x31, wrap(0x30, attribute)));
}

// The parts of a DER CertificationRequest, read with the component's own DER reader.
struct RequestParts {
  std::vector<uint8_t> info;  // the signed CertificationRequestInfo, whole
  std::vector<uint8_t> subject;
  std::vector<uint8_t> public_key_info;
  std::vector<uint8_t> attributes;  // whole [0] element
  std::vector<uint8_t> algorithm;   // whole AlgorithmIdentifier
  std::vector<uint8_t> signature;   // the BIT STRING's octets after the unused-bits count
};

std::vector<uint8_t> Bytes(const DerReader& reader) {
  return std::vector<uint8_t>(reader.data(), reader.data() + reader.size());
}

bool SplitRequest(const std::vector<uint8_t>& der, RequestParts& parts) {
  DerReader input(der.data(), der.size());
  DerReader request, info_whole, info, version, subject, key, attributes, algorithm, bits;
  uint8_t unused = 0;
  if (!input.ReadElement(der_tag::kSequence, request) || !input.empty()) return false;
  DerReader peek = request;
  if (!peek.ReadWholeElement(der_tag::kSequence, info_whole) ||
      !request.ReadElement(der_tag::kSequence, info) ||
      !request.ReadWholeElement(der_tag::kSequence, algorithm) ||
      !request.ReadBitString(bits, unused) || unused != 0 || !request.empty()) {
    return false;
  }
  if (!info.ReadInteger(version) || version.size() != 1 || version.data()[0] != 0 ||
      !info.ReadWholeElement(der_tag::kSequence, subject) ||
      !info.ReadWholeElement(der_tag::kSequence, key) ||
      !info.ReadWholeElement(der_tag::ContextConstructed(0), attributes) || !info.empty()) {
    return false;
  }
  parts = {Bytes(info_whole), Bytes(subject),   Bytes(key),
           Bytes(attributes), Bytes(algorithm), Bytes(bits)};
  return true;
}

TEST_F(EnrolmentTest, RequestsAreSignedAndCarryTheCommonNameAndKeyLength) {
  const struct {
    const char* label;
    std::u16string common_name;
    int32_t bits;
    // OpenSSL refuses a BMPString holding surrogates, so it cannot read such a request's subject.
    bool openssl_reads_subject;
  } cases[] = {
      {"ASCII", u"Alice Example", 1024, true},
      {"Chinese, in and out of the code page", u"王小明 憑證", 2048, true},
      {"a character outside the BMP goes in as its two code units", u"\U0002000B surrogates", 1024,
       false},
      {"the longest key", u"Bob", 4096, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    std::u16string request;
    const std::string record =
        NewRecord([&] { request = component_.CreatePKCS10(c.common_name, c.bits, 1); });
    ASSERT_EQ(component_.GetErrorCode(), 0);
    EXPECT_EQ(component_.GetCsrForSign(), request);
    EXPECT_EQ(component_.GetCsrForEncrypt(), u"");

    const std::string base64 = Utf16ToUtf8(request);
    const std::vector<uint8_t> der = FromBase64(base64);
    RequestParts parts;
    ASSERT_TRUE(SplitRequest(der, parts));
    EXPECT_EQ(parts.subject, ExpectedSubject(c.common_name));
    EXPECT_EQ(parts.attributes, (std::vector<uint8_t>{0xA0, 0x00})) << "no attributes";
    const std::vector<uint8_t> sha1_with_rsa = {0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86,
                                                0xF7, 0x0D, 0x01, 0x01, 0x05, 0x05, 0x00};
    EXPECT_EQ(parts.algorithm, sha1_with_rsa);

    // The signature verifies over the request info with the key the request carries.
    const unsigned char* cursor = parts.public_key_info.data();
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        d2i_PUBKEY(nullptr, &cursor, static_cast<long>(parts.public_key_info.size())),
        EVP_PKEY_free);
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(EVP_PKEY_get_bits(key.get()), c.bits);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> verify(EVP_MD_CTX_new(),
                                                                   EVP_MD_CTX_free);
    ASSERT_EQ(EVP_DigestVerifyInit(verify.get(), nullptr, EVP_sha1(), nullptr, key.get()), 1);
    EXPECT_EQ(EVP_DigestVerify(verify.get(), parts.signature.data(), parts.signature.size(),
                               parts.info.data(), parts.info.size()),
              1);

    if (c.openssl_reads_subject) {
      const auto pem =
          dir_.WriteFile("request.pem", "-----BEGIN CERTIFICATE REQUEST-----\n" + base64 +
                                            "\n-----END CERTIFICATE REQUEST-----\n");
      EXPECT_EQ(RunCommand("openssl req -verify -noout -in " + ShellQuote(pem.string())), 0);
    }

    // The record: the key's public blob (exchange key), the provider, the time and the name.
    EXPECT_EQ(Text(RecordValue(record, "ProviderName")), kEnhancedProvider);
    EXPECT_EQ(Dword(RecordValue(record, "ProviderType")), 1u);
    EXPECT_EQ(Dword(RecordValue(record, "KeySpec")), 1u);
    EXPECT_EQ(Text(RecordValue(record, "CommonName")), ConvertToNarrow(c.common_name));
    EXPECT_TRUE(std::regex_match(Text(RecordValue(record, "DateTime")),
                                 std::regex(R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d)")));
    const auto expected = RsaPublicBlob(parts.public_key_info, key_algorithm::kRsaExchange);
    EXPECT_EQ(RecordValue(record, "PublicKey").data, expected.value_or(std::vector<uint8_t>{}));
  }
}

TEST_F(EnrolmentTest, AnIssuedCertificateLandsInMyLinkedToItsKeyWithTheChainBesideIt) {
  const std::u16string common_name = u"Carol 憑證";
  std::u16string request;
  const std::string record =
      NewRecord([&] { request = component_.CreatePKCS10(common_name, 2048, 1); });
  ASSERT_FALSE(request.empty());
  const auto issued = ca().Issue(Utf16ToUtf8(request), "carol");
  const auto root = ca().root();
  const auto intermediate = ca().intermediate();

  // Plain certificates first: they go straight to "MY", with no chain handling.
  const struct {
    const char* label;
    std::string response;
    bool installs_chain;
  } responses[] = {
      {"Base64 DER on one line", Base64Body(issued), false},
      {"PEM", FileText(issued), false},
      // Armour lines are passed over whatever they say.
      {"PEM under another label",
       std::regex_replace(FileText(issued), std::regex("CERTIFICATE"), "X509 CRL"), false},
      {"bundle root, intermediate, issued",
       FileText(ca().Bundle({root, intermediate, issued}, "b1")), true},
      {"bundle issued, root, intermediate",
       FileText(ca().Bundle({issued, root, intermediate}, "b2")), true},
      {"bundle intermediate, issued, root",
       FileText(ca().Bundle({intermediate, issued, root}, "b3")), true},
  };
  for (const auto& r : responses) {
    SCOPED_TRACE(r.label);
    // Accepting the same certificate again succeeds again: no lookup for an earlier copy.
    EXPECT_EQ(component_.AcceptPKCS7(Utf8ToUtf16(r.response)), 0);
    EXPECT_EQ(component_.GetCapiErrorCode(), 0);
    EXPECT_EQ(StoreContent("ROOT").size(), r.installs_chain ? 1u : 0u);
    EXPECT_EQ(StoreContent("CA").size(), r.installs_chain ? 1u : 0u);
  }
  ASSERT_EQ(StoreContent("ROOT").size(), 1u);
  EXPECT_EQ(StoreContent("ROOT")[0].der, DerOf(root));
  EXPECT_EQ(StoreContent("CA")[0].der, DerOf(intermediate));

  auto personal = CertStore::OpenSystem("MY");
  const auto mine = personal->Enumerate();
  ASSERT_EQ(mine->size(), 1u);
  EXPECT_EQ((*mine)[0].der, DerOf(issued));
  EXPECT_EQ(personal->GetProperty((*mine)[0].id, cert_property::kFriendlyName),
            Utf16LeWithNul(common_name));
  const auto link =
      DecodeKeyProviderLink(*personal->GetProperty((*mine)[0].id, cert_property::kKeyProviderInfo));
  ASSERT_TRUE(link.has_value());
  EXPECT_EQ(link->container, record);
  EXPECT_EQ(link->provider, kEnhancedProvider);
  EXPECT_EQ(link->provider_type, 1u);
  EXPECT_EQ(link->key_spec, 1u);
  EXPECT_FALSE(personal->GetProperty((*mine)[0].id, cert_property::kKeyContext).has_value())
      << "a key handle of this process is not kept in the profile";

  // The linked key signs, and openssl verifies the signature with the certificate's key.
  auto key = AcquireCertificatePrivateKey(*personal, (*mine)[0].id, true);
  ASSERT_TRUE(key.has_value());
  const std::string message = "signed with the enrolled key";
  Sha256Digest digest;
  digest.Compute(message.data(), static_cast<int32_t>(message.size()));
  auto signature = key->container->SignHash(key->key_spec, key_algorithm::kSha256,
                                            std::span<const uint8_t>(digest.data(), 32));
  ASSERT_TRUE(signature.has_value());
  std::reverse(signature->begin(), signature->end());
  const auto data = dir_.WriteFile("message", message);
  const auto signature_file =
      dir_.WriteFile("signature", std::string(signature->begin(), signature->end()));
  const std::string public_key = (dir_.path() / "issued-key.pem").string();
  EXPECT_EQ(RunCommand("openssl x509 -pubkey -noout -in " + ShellQuote(issued.string()) + " > " +
                       ShellQuote(public_key) + " && openssl dgst -sha256 -verify " +
                       ShellQuote(public_key) + " -signature " +
                       ShellQuote(signature_file.string()) + " " + ShellQuote(data.string())),
            0);
}

TEST_F(EnrolmentTest, APairMakesASignatureKeyAndAnExchangeKeyThatBothAccept) {
  const auto before = RecordNames();
  ASSERT_EQ(component_.CreatePKCS10Pair(u"Dave", 1024, 1), 0);
  const std::u16string for_signing = component_.GetCsrForSign();
  const std::u16string for_encryption = component_.GetCsrForEncrypt();
  ASSERT_FALSE(for_signing.empty());
  ASSERT_FALSE(for_encryption.empty());
  EXPECT_NE(for_signing, for_encryption);

  std::vector<std::string> records;
  for (const auto& name : RecordNames()) {
    if (!before.count(name)) records.push_back(name);
  }
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(Text(RecordValue(records[0], "DateTime")), Text(RecordValue(records[1], "DateTime")));
  EXPECT_EQ(Text(RecordValue(records[0], "CommonName")), "Dave");
  EXPECT_EQ(Text(RecordValue(records[1], "CommonName")), "Dave");
  std::map<uint32_t, std::string> record_of_spec;
  for (const auto& record : records) {
    const uint32_t spec = Dword(RecordValue(record, "KeySpec"));
    record_of_spec[spec] = record;
    // The blob header names the key's algorithm: CALG_RSA_SIGN or CALG_RSA_KEYX.
    const auto blob = RecordValue(record, "PublicKey").data;
    ASSERT_GE(blob.size(), 8u);
    EXPECT_EQ(blob[5] << 8 | blob[4], spec == 2 ? 0x2400 : 0xA400);
  }
  ASSERT_EQ(record_of_spec.size(), 2u);

  for (const auto& [request, spec] : {std::pair{for_signing, 2u}, std::pair{for_encryption, 1u}}) {
    SCOPED_TRACE(spec);
    const auto issued = ca().Issue(Utf16ToUtf8(request), "dave-" + std::to_string(spec));
    ASSERT_EQ(component_.AcceptPKCS7(Utf8ToUtf16(FileText(issued))), 0);
    auto personal = CertStore::OpenSystem("MY");
    const auto stored = personal->Find(CertificateThumbprint(DerOf(issued)));
    ASSERT_TRUE(stored.has_value());
    const auto link =
        DecodeKeyProviderLink(*personal->GetProperty(stored->id, cert_property::kKeyProviderInfo));
    ASSERT_TRUE(link.has_value());
    EXPECT_EQ(link->key_spec, spec);
    EXPECT_EQ(link->container, record_of_spec[spec]);
    EXPECT_TRUE(AcquireCertificatePrivateKey(*personal, stored->id, true).has_value());
  }
}

TEST_F(EnrolmentTest, AcceptanceRefusesWhatItCannotInstall) {
  ASSERT_FALSE(component_.CreatePKCS10(u"Erin", 1024, 1).empty());
  // A certificate for a key this profile never made.
  const auto foreign_request = dir_.path() / "foreign.csr";
  ASSERT_EQ(
      RunCommand("openssl req -new -newkey rsa:1024 -nodes -keyout /dev/null -subj /CN=Foreign "
                 "-outform DER -out " +
                 ShellQuote(foreign_request.string())),
      0);
  const auto foreign = ca().Issue(ToBase64(testing::ReadWholeFile(foreign_request)), "foreign");
  const auto ec_certificate = dir_.path() / "ec.pem";
  ASSERT_EQ(RunCommand("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes "
                       "-keyout /dev/null -subj /CN=Curve -days 2 -out " +
                       ShellQuote(ec_certificate.string())),
            0);
  std::vector<uint8_t> truncated = DerOf(foreign);
  truncated.resize(truncated.size() - 10);
  // A ContentInfo of type data holding an empty OCTET STRING: a message without certificates.
  const std::vector<uint8_t> data_message = {0x30, 0x0F, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7,
                                             0x0D, 0x01, 0x07, 0x01, 0xA0, 0x02, 0x04, 0x00};

  const struct {
    const char* label;
    std::string text;
    int32_t code;
  } cases[] = {
      {"the chain installs, but no record holds the issued key",
       FileText(ca().Bundle({ca().root(), ca().intermediate(), foreign}, "foreign")), 5010},
      {"a bundle of CA certificates only",
       FileText(ca().Bundle({ca().root(), ca().intermediate()}, "chain")), 5060},
      // The armour opens a line that never ends.
      {"armour without an end line", "-----BEGIN CERTIFICATE\nMIIBIjANBgkqhkiG9w0BAQEF", 5008},
      {"bytes that are no certificate",
       ToBase64({'n', 'o', 't', ' ', 'a', ' ', 'c', 'e', 'r', 't'}), 5040},
      {"a certificate cut short", ToBase64(truncated), 5040},
      {"a PKCS #7 message of another content type", ToBase64(data_message), 5040},
      {"a certificate with an elliptic-curve key", FileText(ec_certificate), 5040},
      // Only line breaks: nothing decodes, and nothing is no certificate.
      {"line breaks only", "\r\n\r\n", 5040},
      {"several megabytes of one letter", std::string(6 << 20, 'A'), 5040},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(component_.AcceptPKCS7(Utf8ToUtf16(c.text)), c.code);
    EXPECT_EQ(component_.GetErrorCode(), c.code);
  }
  EXPECT_EQ(component_.AcceptPKCS7(u""), 5005);
  EXPECT_TRUE(StoreContent("MY").empty()) << "nothing reached the personal store";
  EXPECT_EQ(StoreContent("ROOT").size(), 1u) << "the chain of the refused bundle stays";
}

TEST_F(EnrolmentTest, ABerBundleFromAnotherProducerInstallsItsRoots) {
  // Two root certificates in a bundle with indefinite lengths, as their publisher ships it.
  ASSERT_FALSE(component_.CreatePKCS10(u"Judy", 1024, 1).empty());
  const auto bundle =
      testing::ReadWholeFile(testing::TestDataPath("pkcs7/certbag-amazon-roots-ber.p7b"));
  EXPECT_EQ(component_.AcceptPKCS7(Utf8ToUtf16(ToBase64(bundle))), 5060);
  EXPECT_EQ(StoreContent("ROOT").size(), 2u);
  EXPECT_TRUE(StoreContent("MY").empty());
}

TEST_F(EnrolmentTest, AcceptingBeforeAnyRequestFindsNoRecordsKey) {
  // The records key only exists once a request has been made; opening it is what fails here.
  const auto issued = ca().root();
  EXPECT_EQ(component_.AcceptPKCS7(Utf8ToUtf16(Base64Body(issued))), 5906);
  EXPECT_EQ(component_.GetCapiErrorCode(), 2);
  EXPECT_TRUE(StoreContent("MY").empty());
}

TEST_F(EnrolmentTest, ArgumentChecksAndProtectedModeComeBeforeAnyWork) {
  ASSERT_FALSE(component_.CreatePKCS10(u"Frank", 1024, 1).empty());
  const auto records = RecordNames();
  EXPECT_EQ(component_.CreatePKCS10(u"", 2048, 1), u"");
  EXPECT_EQ(component_.GetErrorCode(), 5005);
  EXPECT_EQ(component_.GetCsrForSign(), u"") << "the slots are emptied by a refused call too";
  EXPECT_EQ(component_.CreatePKCS10(u"Frank", 1536, 1), u"");
  EXPECT_EQ(component_.GetErrorCode(), 5301);
  EXPECT_EQ(component_.CreatePKCS10Pair(u"Frank", 512, 1), 5301);
  EXPECT_EQ(RecordNames(), records) << "no key was made for a refused length";

  ComponentEnvironment environment;
  environment.protected_mode_probe = [] { return true; };
  CertComponent sandboxed(std::move(environment));
  testing::TempDir untouched;
  testing::ScopedEnv other_profile("KELVADROME_PROFILE", untouched.path().c_str());
  EXPECT_EQ(sandboxed.CreatePKCS10(u"Frank", 1024, 1), u"");
  EXPECT_EQ(sandboxed.GetErrorCode(), 1500);
  EXPECT_EQ(sandboxed.CreatePKCS10Pair(u"Frank", 1024, 1), 1500);
  EXPECT_EQ(sandboxed.AcceptPKCS7(u"MIIB"), 1500);
  EXPECT_TRUE(std::filesystem::is_empty(untouched.path())) << "no profile was opened";
}

// A card provider's key is made on a token and takes no flags: tests/ops/token_road_test.cpp.
TEST_F(EnrolmentTest, KeyFlagsFollowTheModeOnlyForSoftwareProviders) {
  const struct {
    const char* label;
    std::string provider;
    int32_t gen_key_flags;
    uint32_t key_flags;
  } cases[] = {
      {"1: exportable", std::string(kEnhancedProvider), 1, key_flag::kExportable},
      {"7 counts as 1", std::string(kEnhancedProvider), 7, key_flag::kExportable},
      {"-1 counts as 1", std::string(kEnhancedProvider), -1, key_flag::kExportable},
      {"0: neither", std::string(kEnhancedProvider), 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    ASSERT_EQ(component_.SetProviderName(ConvertToWide(c.provider)), 0);
    const std::string record = NewRecord(
        [&] { EXPECT_FALSE(component_.CreatePKCS10(u"Grace", 1024, c.gen_key_flags).empty()); });
    EXPECT_EQ(Text(RecordValue(record, "ProviderName")), c.provider);
    auto store = KeyContainerStore::OpenUser();
    auto container = store->Open(record, c.provider, 1);
    ASSERT_NE(container, nullptr);
    const auto key = container->DescribeKey(key_spec::kExchange);
    ASSERT_TRUE(key.has_value());
    EXPECT_EQ(key->flags, c.key_flags);
    EXPECT_EQ(key->bits, 1024u);
  }
}

TEST_F(EnrolmentTest, AUserProtectedKeyNobodyMayUseLeavesNoContainerAndNoRecord) {
  // With no dialog host nobody can allow the key to sign its own request. The key is stored only
  // with its record: a key without one could never be used or found again.
  const auto before = RecordNames();
  auto store = KeyContainerStore::OpenUser();
  const size_t containers = store->Names()->size();
  EXPECT_EQ(component_.CreatePKCS10(u"Heidi", 1024, 2), u"");
  EXPECT_EQ(component_.GetErrorCode(), 5302);
  EXPECT_EQ(component_.GetCapiErrorCode(), 1223);
  EXPECT_EQ(RecordNames(), before);
  EXPECT_EQ(store->Names()->size(), containers) << "no stray key container";
}

}  // namespace
}  // namespace kelvadrome
