package kelvadrome.tests;

import com.Quorix.QuorixATLApplet;

/**
 * What a Java caller sees at the edges: a fresh component, null strings, empty results, and the
 * error code a refused call leaves alone.
 */
public final class EdgeCaseTest {
  private static final String KEY = "Software\\Kelvadrome\\JavaSurface\\";

  public static void main(String[] args) throws Exception {
    TestProfile.makeFresh();
    Check check = new Check("EdgeCaseTest");
    QuorixATLApplet atl = new QuorixATLApplet();

    // A fresh module: success, before any other call of the process.
    check.equal("成功(0)", atl.GetErrorMsg(), "GetErrorMsg of a fresh module");
    check.equal(0, atl.GetErrorCode(), "GetErrorCode of a fresh module");
    check.equal(null, atl.GetCsrForSign(), "GetCsrForSign before any request");
    check.equal(null, atl.GetCsrForEncrypt(), "GetCsrForEncrypt before any request");
    check.equal("4.2.0.0", atl.GetVersion(), "GetVersion");
    check.equal(65537, atl.GetPortEx(), "GetPortEx");

    // Empty results reach Java as null, after success as after failure.
    check.equal(0, atl.RegWriteHKCUInt(KEY + "Present", 1), "a value that makes the key");
    check.equal(null, atl.RegReadHKCU(KEY + "Missing"), "a missing registry value");
    check.equal(0, atl.GetErrorCode(), "a missing registry value is no failure");
    check.equal(null, atl.GetSignerPfxFileName(), "no signer file name");
    check.equal(null, atl.HashFile("/nonexistent/kelvadrome-java", 0), "HashFile of nothing");
    check.equal(5902, atl.GetErrorCode(), "HashFile of nothing fails");
    check.equal("File Not Found(5902)", atl.GetErrorMsg(), "its message");

    // RegWriteHKCUStr with a null second string: -1, nothing stored, the code of the call before.
    check.equal(0, atl.RegWriteHKCUStr(KEY + "Kept", "before"), "a first write");
    atl.HashFile("/nonexistent/kelvadrome-java", 0);
    check.equal(-1, atl.RegWriteHKCUStr(KEY + "Kept", null), "a null second string");
    check.equal(5902, atl.GetErrorCode(), "the error code after the refused write");
    check.equal(-1, atl.RegWriteHKCUStr(null, "x"), "a null first string");
    check.equal(5902, atl.GetErrorCode(), "the error code after the second refused write");
    check.equal(-1, atl.RegWriteHKCUInt(null, 7), "a null string before an integer");
    check.equal(5902, atl.GetErrorCode(), "the error code after the third refused write");
    check.equal("before", atl.RegReadHKCU(KEY + "Kept"), "the value written first stays");
    check.equal(-1, atl.RegWriteHKCUStr(KEY + "Never", null), "a refused write of a new value");
    check.equal(null, atl.RegReadHKCU(KEY + "Never"), "the refused value was not created");

    // Hash: null is refused, empty text is handed over (and fails there with 5005).
    atl.HashFile("/nonexistent/kelvadrome-java", 0);
    check.equal(null, atl.Hash(null, 0), "Hash of null");
    check.equal(5902, atl.GetErrorCode(), "Hash of null leaves the error code");
    check.equal(null, atl.Hash("", 0), "Hash of empty text");
    check.equal(5005, atl.GetErrorCode(), "Hash of empty text reaches the component");
    check.equal("A9993E364706816ABA3E25717850C26C9CD0D89D", atl.Hash("abc", 0x10), "SHA-1 of abc");
    check.equal(0, atl.GetErrorCode(), "a successful Hash");

    // Integers cross unchanged, the extreme ones too.
    check.equal(0, atl.RegWriteHKCUInt(KEY + "Number", Integer.MIN_VALUE), "writing INT_MIN");
    check.equal(
        Integer.toString(Integer.MIN_VALUE), atl.RegReadHKCU(KEY + "Number"), "reading INT_MIN");
    System.exit(check.finish());
  }
}
