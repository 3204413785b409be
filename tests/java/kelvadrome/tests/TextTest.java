package kelvadrome.tests;

import com.Quorix.QuorixATLApplet;
import java.security.MessageDigest;

/**
 * Strings reach the component as exactly their UTF-16 code units (characters beyond the BMP,
 * unpaired surrogates), text results come back the same way, and a string holding U+0000 is
 * refused: the component reads zero-terminated text and would otherwise see only part of it.
 */
public final class TextTest {
  private static final String KEY = "Software\\Kelvadrome\\JavaText\\";

  /** The UTF-16LE bytes of the string's code units, unpaired surrogates included as they are. */
  static byte[] codeUnits(String text) {
    byte[] bytes = new byte[text.length() * 2];
    for (int i = 0; i < text.length(); i++) {
      bytes[2 * i] = (byte) text.charAt(i);
      bytes[2 * i + 1] = (byte) (text.charAt(i) >> 8);
    }
    return bytes;
  }

  static String upperHex(byte[] bytes) {
    StringBuilder hex = new StringBuilder();
    for (byte b : bytes) hex.append(String.format("%02X", b & 0xFF));
    return hex.toString();
  }

  static String sha256OfCodeUnits(String text) throws Exception {
    return upperHex(MessageDigest.getInstance("SHA-256").digest(codeUnits(text)));
  }

  public static void main(String[] args) throws Exception {
    TestProfile.makeFresh();
    Check check = new Check("TextTest");
    QuorixATLApplet atl = new QuorixATLApplet();

    // Hash 3 is SHA-256 over the UTF-16LE code units: the digest shows exactly what arrived.
    String[][] texts = {
        {"ASCII", "abc"},
        {"CJK", "憑證元件"},
        {"beyond the BMP", "𠀀😀 G clef 𝄞"},
        {"an unpaired high surrogate", "a\uD800b"},
        {"an unpaired low surrogate at the end", "tail\uDC00"},
        {"a reversed pair", "\uDC00\uD800"},
        {"one character", "x"},
        {"a long text", "長".repeat(200_000) + "😀"},
    };
    for (String[] text : texts) {
      check.equal(sha256OfCodeUnits(text[1]), atl.Hash(text[1], 3), "Hash of " + text[0]);
      check.equal(0, atl.GetErrorCode(), "Hash of " + text[0] + " succeeds");
    }

    // Text results keep characters beyond the BMP.
    String stored = "𠀀😀 憑證 Ω";
    check.equal(0, atl.RegWriteHKCUStr(KEY + "Wide", stored), "storing wide text");
    check.equal(stored, atl.RegReadHKCU(KEY + "Wide"), "reading it back");

    // U+0000 anywhere in a string: refused like a null string, nothing reaches the component.
    String[][] withZero = {
        {"a zero in the middle", "a\u0000b"},
        {"a zero at the end", "abc\u0000"},
        {"a zero at the start", "\u0000abc"},
        {"only a zero", "\u0000"},
    };
    for (String[] text : withZero) {
      atl.HashFile("/nonexistent/kelvadrome-java", 0); // leaves 5902
      check.equal(null, atl.Hash(text[1], 3), "Hash of " + text[0]);
      check.equal(
          -1, atl.RegWriteHKCUStr(KEY + "Zero", text[1]), "storing " + text[0] + " as a value");
      check.equal(-1, atl.RegWriteHKCUStr(KEY + text[1], "v"), "storing under " + text[0]);
      check.equal(5902, atl.GetErrorCode(), "the error code after refusing " + text[0]);
    }
    check.equal(null, atl.RegReadHKCU(KEY + "Zero"), "no value was stored from a refused string");
    check.equal(null, atl.RegReadHKCU(KEY + "a"), "not even the text before the zero");
    check.equal(null, atl.RegReadHKCU(KEY + "abc"), "nor before a zero at the end");
    check.equal(null, atl.RegReadHKCU(KEY), "nor the default value (a zero at the start)");
    System.exit(check.finish());
  }
}
