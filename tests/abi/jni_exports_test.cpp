// The JNI natives as the JVM sees them: exported names, and the calls each native makes through
// the JNIEnv it is given. The tests hand the natives a JNIEnv of their own that records every
// call, so the order and pairing of GetStringChars, ReleaseStringChars and NewString can be
// checked exactly; unused JNI functions are null, so a native reaching one crashes the test.
#include <dlfcn.h>

#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "frame/method_table.h"
#include "kelvadrome/kelvadrome.h"
#include "support/test_support.h"

#if defined(KELVADROME_JNI_SURFACE)
#include <jni.h>
#endif

namespace {

constexpr const char* kNativePrefix = "Java_com_Quorix_QuorixATLApplet_";

std::set<std::string> ExportedJavaNatives() {
  const std::string command =
      std::string("nm -D --defined-only --format=just-symbols ") + KELVADROME_LIBRARY_PATH;
  std::set<std::string> names;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return names;
  char line[512];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    std::string name(line);
    while (!name.empty() && (name.back() == '\n' || name.back() == ' ')) name.pop_back();
    if (name.rfind("Java_", 0) == 0) names.insert(name);
  }
  EXPECT_EQ(pclose(pipe), 0) << command;
  return names;
}

#if !defined(KELVADROME_JNI_SURFACE)

TEST(JniSurface, ExportsNoNativesWithoutAJdk) {
  EXPECT_TRUE(ExportedJavaNatives().empty());
}

#else

TEST(JniSurface, ExportsOneNativePerMethodAndNothingElse) {
  std::set<std::string> expected;
  for (const auto& method : kelvadrome::kMethods) {
    expected.insert(kNativePrefix + std::string(method.name));
  }
  ASSERT_EQ(expected.size(), kelvadrome::kMethodCount);
  EXPECT_EQ(ExportedJavaNatives(), expected);
}

// ---- A JNIEnv that records what the natives do. ----------------------------------------------

struct FakeString : _jstring {
  std::string label;
  std::u16string chars;
  bool unreadable = false;  // GetStringChars returns null, as when the JVM is out of memory
};

class FakeJvm {
 public:
  FakeJvm() {
    table_.GetStringLength = &GetStringLength;
    table_.GetStringChars = &GetStringChars;
    table_.ReleaseStringChars = &ReleaseStringChars;
    table_.NewString = &NewString;
    env_.functions = &table_;
    current_ = this;
  }
  ~FakeJvm() { current_ = nullptr; }
  FakeJvm(const FakeJvm&) = delete;
  FakeJvm& operator=(const FakeJvm&) = delete;

  JNIEnv* env() { return &env_; }
  jstring Make(const std::string& label, const std::u16string& chars, bool unreadable = false) {
    auto string = std::make_unique<FakeString>();
    string->label = label;
    string->chars = chars;
    string->unreadable = unreadable;
    strings_.push_back(std::move(string));
    return strings_.back().get();
  }
  static const FakeString& Of(jstring string) { return *static_cast<FakeString*>(string); }

  // Every call in order: "get <label>", "refuse <label>", "release <label>", "new <length>".
  const std::vector<std::string>& log() const { return log_; }
  // Calls other than ReleaseStringChars made while an exception would be pending.
  int calls_with_exception_pending() const { return calls_with_exception_pending_; }
  size_t outstanding() const { return outstanding_.size(); }
  void FailNewString() { fail_new_string_ = true; }

 private:
  struct Handout {
    const FakeString* string;
    std::unique_ptr<jchar[]> chars;
  };

  static void Enter() {
    if (current_->exception_pending_) ++current_->calls_with_exception_pending_;
  }

  static jsize JNICALL GetStringLength(JNIEnv*, jstring string) {
    Enter();
    return static_cast<jsize>(Of(string).chars.size());
  }

  // Hands out exactly the string's characters followed by a non-zero unit: a native that relied on
  // a terminator would read past the characters.
  static const jchar* JNICALL GetStringChars(JNIEnv*, jstring string, jboolean* is_copy) {
    Enter();
    const FakeString& fake = Of(string);
    if (fake.unreadable) {
      current_->log_.push_back("refuse " + fake.label);
      current_->exception_pending_ = true;
      return nullptr;
    }
    current_->log_.push_back("get " + fake.label);
    auto chars = std::make_unique<jchar[]>(fake.chars.size() + 1);
    for (size_t i = 0; i < fake.chars.size(); ++i) chars[i] = fake.chars[i];
    chars[fake.chars.size()] = u'J';
    if (is_copy != nullptr) *is_copy = JNI_TRUE;
    const jchar* handed = chars.get();
    current_->outstanding_.push_back({&fake, std::move(chars)});
    return handed;
  }

  static void JNICALL ReleaseStringChars(JNIEnv*, jstring string, const jchar* chars) {
    auto& outstanding = current_->outstanding_;
    for (auto it = outstanding.begin(); it != outstanding.end(); ++it) {
      if (it->chars.get() == chars && it->string == &Of(string)) {
        current_->log_.push_back("release " + Of(string).label);
        outstanding.erase(it);
        return;
      }
    }
    current_->log_.push_back("release of characters never handed out");
  }

  static jstring JNICALL NewString(JNIEnv*, const jchar* chars, jsize length) {
    Enter();
    current_->log_.push_back("new " + std::to_string(length));
    if (current_->fail_new_string_) return nullptr;
    return current_->Make("result", std::u16string(chars, chars + length));
  }

  static inline FakeJvm* current_ = nullptr;
  JNINativeInterface_ table_{};
  JNIEnv env_{};
  std::vector<std::unique_ptr<FakeString> > strings_;
  std::vector<Handout> outstanding_;
  std::vector<std::string> log_;
  bool exception_pending_ = false;
  bool fail_new_string_ = false;
  int calls_with_exception_pending_ = 0;
};

// The native of |method| from the library, as the JVM would find it.
template <typename Function>
Function Native(const char* method) {
  void* library = dlopen(KELVADROME_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD);
  EXPECT_NE(library, nullptr);
  void* symbol =
      library != nullptr ? dlsym(library, (std::string(kNativePrefix) + method).c_str()) : nullptr;
  if (library != nullptr) dlclose(library);
  EXPECT_NE(symbol, nullptr) << method;
  return reinterpret_cast<Function>(symbol);
}

using HashNative = jstring (*)(JNIEnv*, jobject, jstring, jint);
using RegReadNative = jstring (*)(JNIEnv*, jobject, jstring);
using RegWriteStrNative = jint (*)(JNIEnv*, jobject, jstring, jstring);
using SelectSignerExNative = jint (*)(JNIEnv*, jobject, jstring, jstring, jstring, jstring, jstring,
                                      jint, jint);
using IntegerNative = jint (*)(JNIEnv*, jobject);

// SHA-256 of the code units as UTF-16LE, in upper-case hex: what Hash(text, 3) must return.
std::u16string Sha256OfCodeUnits(const std::u16string& text) {
  std::vector<unsigned char> bytes;
  for (char16_t unit : text) {
    bytes.push_back(static_cast<unsigned char>(unit & 0xFF));
    bytes.push_back(static_cast<unsigned char>(unit >> 8));
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EXPECT_EQ(EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_sha256(), nullptr), 1);
  static const char16_t kHex[] = u"0123456789ABCDEF";
  std::u16string hex;
  for (unsigned int i = 0; i < size; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 0xF];
  }
  return hex;
}

// Leaves the flat surface's error code at 5902, which a refused call must not change.
void LeaveFileNotFound() {
  SysFreeString(HashFile(u"/nonexistent/kelvadrome-jni", 0));
  ASSERT_EQ(GetErrorCode(), 5902);
}

std::u16string ReadValue(const char16_t* path) {
  BSTR value = RegReadHKCU(path);
  std::u16string copy(value != nullptr ? value : u"");
  SysFreeString(value);
  return copy;
}

TEST(JniSurface, StringsArriveAsExactlyTheirCodeUnits) {
  const auto hash = Native<HashNative>("Hash");
  ASSERT_NE(hash, nullptr);
  struct Case {
    const char* name;
    std::u16string text;
  };
  const Case cases[] = {
      {"ASCII", u"abc"},
      {"beyond the BMP", u"\U0001F600\U00020000"},
      {"an unpaired high surrogate", {u'a', char16_t{0xD800}, u'b'}},
      {"an unpaired low surrogate", {char16_t{0xDC00}}},
      {"one unit", u"x"},
      {"a long text", std::u16string(100000, u'長')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeJvm jvm;
    jstring result = hash(jvm.env(), nullptr, jvm.Make("text", c.text), 3);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(FakeJvm::Of(result).chars, Sha256OfCodeUnits(c.text));
    // The Java string is made before the argument is handed back.
    EXPECT_EQ(jvm.log(), (std::vector<std::string>{"get text", "new 64", "release text"}));
    EXPECT_EQ(jvm.outstanding(), 0u);
  }
}

TEST(JniSurface, RefusedStringsLeaveTheComponentAlone) {
  kelvadrome::testing::TempDir profile_dir;
  kelvadrome::testing::ScopedEnv profile("KELVADROME_PROFILE", profile_dir.path().c_str());
  const auto write = Native<RegWriteStrNative>("RegWriteHKCUStr");
  const auto select = Native<SelectSignerExNative>("SelectSignerEx");
  const auto hash = Native<HashNative>("Hash");
  ASSERT_TRUE(write != nullptr && select != nullptr && hash != nullptr);
  const char16_t* kPath = u"Software\\Kelvadrome\\JniAbi\\Kept";
  ASSERT_EQ(RegWriteHKCUStr(kPath, u"kept"), 0);

  struct Case {
    const char* name;
    // Makes the call on |jvm| and returns whether the native refused (-1 or null).
    bool (*call)(FakeJvm& jvm, RegWriteStrNative, SelectSignerExNative, HashNative);
    std::vector<std::string> log;  // strings are handed back last taken, first released
  };
  const Case cases[] = {
      {"a null second string: the first is handed back",
       [](FakeJvm& jvm, RegWriteStrNative w, SelectSignerExNative, HashNative) {
         return w(jvm.env(), nullptr, jvm.Make("path", u"Software\\Kelvadrome\\JniAbi\\Kept"),
                  nullptr) == -1;
       },
       {"get path", "release path"}},
      {"an unreadable first string: the second is never asked for",
       [](FakeJvm& jvm, RegWriteStrNative w, SelectSignerExNative, HashNative) {
         return w(jvm.env(), nullptr, jvm.Make("path", u"x", true), jvm.Make("value", u"v")) == -1;
       },
       {"refuse path"}},
      {"the third of five strings unreadable: two handed back, two never asked for",
       [](FakeJvm& jvm, RegWriteStrNative, SelectSignerExNative s, HashNative) {
         return s(jvm.env(), nullptr, jvm.Make("filter", u"S_CN=x"), jvm.Make("folder", u"/tmp"),
                  jvm.Make("name", u"a.pfx", true), jvm.Make("password", u"secret"),
                  jvm.Make("date", u""), 0x200, 0) == -1;
       },
       {"get filter", "get folder", "refuse name", "release folder", "release filter"}},
      {"U+0000 inside the value: it would reach the registry cut short",
       [](FakeJvm& jvm, RegWriteStrNative w, SelectSignerExNative, HashNative) {
         return w(jvm.env(), nullptr, jvm.Make("path", u"Software\\Kelvadrome\\JniAbi\\Kept"),
                  jvm.Make("value", std::u16string(u"cut\0short", 9))) == -1;
       },
       {"get path", "get value", "release value", "release path"}},
      {"U+0000 as the whole text",
       [](FakeJvm& jvm, RegWriteStrNative, SelectSignerExNative, HashNative h) {
         return h(jvm.env(), nullptr, jvm.Make("text", std::u16string(1, u'\0')), 3) == nullptr;
       },
       {"get text", "release text"}},
      {"a null text",
       [](FakeJvm& jvm, RegWriteStrNative, SelectSignerExNative, HashNative h) {
         return h(jvm.env(), nullptr, nullptr, 3) == nullptr;
       },
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LeaveFileNotFound();
    FakeJvm jvm;
    EXPECT_TRUE(c.call(jvm, write, select, hash));
    EXPECT_EQ(jvm.log(), c.log);
    EXPECT_EQ(jvm.outstanding(), 0u);
    EXPECT_EQ(jvm.calls_with_exception_pending(), 0);
    EXPECT_EQ(GetErrorCode(), 5902) << "the flat export was called";
  }
  EXPECT_EQ(ReadValue(kPath), u"kept");
}

TEST(JniSurface, EmptyTextResultsReachJavaAsNull) {
  kelvadrome::testing::TempDir profile_dir;
  kelvadrome::testing::ScopedEnv profile("KELVADROME_PROFILE", profile_dir.path().c_str());
  const auto hash = Native<HashNative>("Hash");
  const auto read = Native<RegReadNative>("RegReadHKCU");
  ASSERT_TRUE(hash != nullptr && read != nullptr);
  {
    SCOPED_TRACE("a failure: empty text is handed over and fails in the component");
    LeaveFileNotFound();
    FakeJvm jvm;
    EXPECT_EQ(hash(jvm.env(), nullptr, jvm.Make("text", u""), 3), nullptr);
    EXPECT_EQ(jvm.log(), (std::vector<std::string>{"get text", "release text"}));
    EXPECT_EQ(GetErrorCode(), 5005);
  }
  {
    SCOPED_TRACE("a success with empty text: a missing value of an existing key");
    ASSERT_EQ(RegWriteHKCUInt(u"Software\\Kelvadrome\\JniAbi\\Present", 1), 0);
    LeaveFileNotFound();
    FakeJvm jvm;
    EXPECT_EQ(read(jvm.env(), nullptr, jvm.Make("path", u"Software\\Kelvadrome\\JniAbi\\Absent")),
              nullptr);
    EXPECT_EQ(jvm.log(), (std::vector<std::string>{"get path", "release path"}));
    EXPECT_EQ(GetErrorCode(), 0);
  }
}

TEST(JniSurface, AFailedNewStringGivesNullAndStillReleases) {
  const auto hash = Native<HashNative>("Hash");
  ASSERT_NE(hash, nullptr);
  FakeJvm jvm;
  jvm.FailNewString();
  // The digest is made and freed (a leak here would show in the sanitizer build).
  EXPECT_EQ(hash(jvm.env(), nullptr, jvm.Make("text", u"abc"), 3), nullptr);
  EXPECT_EQ(jvm.log(), (std::vector<std::string>{"get text", "new 64", "release text"}));
  EXPECT_EQ(GetErrorCode(), 0);
}

TEST(JniSurface, IntegerMethodsWithoutStringsMakeNoJniCall) {
  // An environment without any function: a native that used one would crash.
  JNINativeInterface_ empty_table{};
  JNIEnv env{};
  env.functions = &empty_table;
  const auto port = Native<IntegerNative>("GetPortEx");
  const auto code = Native<IntegerNative>("GetErrorCode");
  ASSERT_TRUE(port != nullptr && code != nullptr);
  EXPECT_EQ(port(&env, nullptr), 65537);
  LeaveFileNotFound();
  EXPECT_EQ(code(&env, nullptr), 5902);
}

#endif  // KELVADROME_JNI_SURFACE

}  // namespace
