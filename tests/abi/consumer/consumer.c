/* A program that knows the component only through its installed header and library. It checks
 * the version, the success message, two digests and two error codes, and exits non-zero on the
 * first difference. */
#include <stdio.h>
#include <string.h>

#include <kelvadrome/kelvadrome.h>

static int failures = 0;

static int SameText(BSTR actual, const char16_t* expected) {
  size_t length = 0;
  while (expected[length] != 0) ++length;
  int same = actual != NULL && SysStringLen(actual) == length &&
             memcmp(actual, expected, length * sizeof(char16_t)) == 0;
  SysFreeString(actual);
  return same;
}

static void Check(int condition, const char* what) {
  if (!condition) {
    fprintf(stderr, "FAILED: %s\n", what);
    ++failures;
  }
}

int main(void) {
  Check(SameText(GetDllVersion(), u"4.2.0.0"), "GetDllVersion gives 4.2.0.0");
  Check(GetErrorCode() == 0, "GetErrorCode is 0 after GetDllVersion");
  Check(SameText(GetErrorMsg(), u"成功(0)"), "GetErrorMsg gives 成功(0)");
  Check(SameText(Hash(u"abc", 0x11), u"900150983CD24FB0D6963F7D28E17F72"), "MD5 of abc");
  Check(SameText(Hash(u"abc", 0x13),
                 u"BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD"),
        "SHA-256 of abc");
  Check(SameText(Hash(NULL, 0), u""), "Hash of null text is empty");
  Check(GetErrorCode() == 5005, "Hash of null text sets 5005");
  Check(SameText(GetErrorMsg(), u"錯誤的參數(5005)"), "message of 5005");
  Check(SameText(HashFile(u"/nonexistent/kelvadrome/file", 0), u""), "HashFile of missing file");
  Check(GetErrorCode() == 5902, "HashFile of a missing file sets 5902");
  typedef BSTR (*HashFunction)(const char16_t*, int32_t);
  Check((HashFunction)KelvadromeGetExport("_Hash@8") == Hash, "decorated name resolves");
  if (failures == 0) printf("installed library: all checks passed\n");
  return failures == 0 ? 0 : 1;
}
