#include "frame/method_table.h"

#include <fstream>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace kelvadrome {
namespace {

struct PublishedMethod {
  int32_t dispid;
  std::string name, decorated, result, parameters;
  int32_t jni_bytes;
  int reset_class;
};

// The interface as published to callers (tests/data/interface_methods.tsv), kept apart from the
// table in the code so that a slip in either shows up here.
std::vector<PublishedMethod> LoadPublishedMethods() {
  std::ifstream in(testing::TestDataPath("interface_methods.tsv"));
  std::vector<PublishedMethod> methods;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    PublishedMethod m;
    fields >> m.dispid >> m.name >> m.decorated >> m.result >> m.parameters >> m.jni_bytes >>
        m.reset_class;
    methods.push_back(m);
  }
  return methods;
}

std::string JoinedNames(const MethodDescriptor& method) {
  std::string joined;
  for (const auto& name : method.ParameterNames()) joined += (joined.empty() ? "" : ",") + name;
  return joined.empty() ? "-" : joined;
}

TEST(MethodTable, AgreesWithThePublishedInterfaceRowByRow) {
  const auto published = LoadPublishedMethods();
  ASSERT_EQ(published.size(), kMethodCount);
  for (size_t i = 0; i < kMethodCount; ++i) {
    const auto& expected = published[i];
    const auto& method = kMethods[i];
    SCOPED_TRACE(expected.name);
    EXPECT_EQ(method.name, expected.name);
    EXPECT_EQ(static_cast<size_t>(method.id), i);
    EXPECT_EQ(method.dispid, expected.dispid);
    EXPECT_EQ(method.DecoratedName(), expected.decorated);
    EXPECT_EQ(method.result == ValueKind::kText ? "text" : "int", expected.result);
    EXPECT_EQ(JoinedNames(method), expected.parameters);
    EXPECT_EQ(method.JniArgumentBytes(), expected.jni_bytes);
    EXPECT_EQ(static_cast<int>(method.reset_class), expected.reset_class);
  }
}

TEST(MethodTable, NamesAndDispatchIdentifiersAreUnique) {
  std::set<std::string_view> names, exports;
  std::set<int32_t> dispids;
  for (const auto& method : kMethods) {
    EXPECT_TRUE(names.insert(method.name).second) << method.name;
    EXPECT_TRUE(exports.insert(method.export_name).second) << method.export_name;
    EXPECT_TRUE(dispids.insert(method.dispid).second) << method.dispid;
  }
}

TEST(MethodTable, ParameterKindsFollowTheDeclarations) {
  const MethodDescriptor* method = FindMethod("SelectSignerEx2");
  ASSERT_NE(method, nullptr);
  const ValueKind T = ValueKind::kText, I = ValueKind::kInteger;
  const std::vector<ValueKind> expected = {T, T, T, I, T, I, I};
  ASSERT_EQ(method->parameter_count, expected.size());
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(method->parameters[i], expected[i]) << i;
  EXPECT_EQ(FindMethod("NoSuchMethod"), nullptr);
  EXPECT_EQ(FindMethod("hash"), nullptr) << "lookup is by exact spelling";
}

}  // namespace
}  // namespace kelvadrome
