package kelvadrome.tests;

import com.Quorix.QuorixATLApplet;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.security.MessageDigest;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.function.Supplier;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/**
 * The Java natives and the command "kelvadrome call" (the automation object, in a process of its
 * own) on one profile must give the same result, error code and message for the same call, and
 * what one of them writes the other must read.
 *
 * <p>Arguments: the kelvadrome executable. Needs a UTF-8 locale, so that non-ASCII arguments
 * reach the command intact, and KELVADROME_CODEPAGE=UTF-8, so that its output is UTF-8.
 */
public final class SurfaceAgreementTest {
  // "kelvadrome: <Method> failed: error <code>: <message>", the first line the command prints on
  // stderr when the method's error code is not 0.
  private static final Pattern FAILURE =
      Pattern.compile("kelvadrome: (\\w+) failed: error (-?\\d+): (.*)");
  private static final String KEY24 = "00112233445566778899AABBCCDDEEFF0011223344556677";
  private static final String KEY16 = "0123456789ABCDEFFEDCBA9876543210";
  private static final String KEY8 = "133457799BBCDFF1";
  private static final String REGISTRY_KEY = "Software\\ORLA\\QuorixATL\\SurfaceAgreement\\";

  /** What a call left: its result as text ("" for none), error code and message (null on 0). */
  private static final class Outcome {
    final String text;
    final int code;
    final String message;

    Outcome(String text, int code, String message) {
      this.text = text;
      this.code = code;
      this.message = message;
    }
  }

  private final QuorixATLApplet atl = new QuorixATLApplet();
  private final Check check;
  private final String command;

  private SurfaceAgreementTest(Check check, String command) {
    this.check = check;
    this.command = command;
  }

  /** Error messages on one line, as the command prints them. */
  private static String oneLine(String message) {
    return message == null ? "" : message.replace("\r\n", " ");
  }

  /** Makes the call through the Java natives and reads the error state it left. */
  private Outcome viaJava(String what, Supplier<Object> call) {
    Object result = call.get();
    // The Java surface answers an empty text with null, never with "".
    check.isTrue(!"".equals(result), what + ": Java returns null, not an empty string");
    int code = atl.GetErrorCode();
    return new Outcome(result == null ? "" : String.valueOf(result), code,
        code != 0 ? oneLine(atl.GetErrorMsg()) : null);
  }

  /**
   * A process of the kelvadrome command on this test's profile. The sanitizer runtime the JVM may
   * have preloaded for the library is not passed on: a sanitized command carries its own.
   */
  private static ProcessBuilder commandProcess(List<String> line) {
    ProcessBuilder builder = new ProcessBuilder(line);
    builder.environment().remove("LD_PRELOAD");
    return builder;
  }

  /** Makes the call with "kelvadrome call <method> <arguments...>" in a process of its own. */
  private Outcome viaCommand(String what, String method, Object... arguments) throws Exception {
    List<String> line = new ArrayList<>(List.of(command, "call", method));
    for (Object argument : arguments) line.add(String.valueOf(argument));
    Process process = commandProcess(line).start();
    process.getOutputStream().close();
    // A line or two on each stream: reading stdout to its end first cannot fill the stderr
    // pipe. A command that hangs is stopped by the test's time limit.
    String stdout = new String(process.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
    String stderr = new String(process.getErrorStream().readAllBytes(), StandardCharsets.UTF_8);
    if (!process.waitFor(60, TimeUnit.SECONDS)) {
      process.destroyForcibly();
      throw new IOException("timed out: " + String.join(" ", line));
    }
    int status = process.exitValue();
    if (!stdout.endsWith("\n") || (status != 0 && status != 1)) {
      check.fail(what + ": the command exited with " + status + ", printing " + Check.show(stdout)
          + " and " + Check.show(stderr));
      return new Outcome(null, Integer.MIN_VALUE, null);
    }
    String text = stdout.substring(0, stdout.length() - 1);
    if (status == 0) {
      check.equal("", stderr, what + ": the command says nothing on stderr on success");
      return new Outcome(text, 0, null);
    }
    Matcher failure = FAILURE.matcher(stderr.split("\n", -1)[0]);
    if (!failure.matches()) {
      check.fail(what + ": the command exited with 1 and said " + Check.show(stderr));
      return new Outcome(text, Integer.MIN_VALUE, null);
    }
    check.equal(method, failure.group(1), what + ": the command names the method that failed");
    int code = Integer.parseInt(failure.group(2));
    check.isTrue(code != 0, what + ": the command exits with 1 only for a non-zero code");
    return new Outcome(text, code, failure.group(3));
  }

  /** Both surfaces must give the same result, code and message; returns the shared outcome. */
  private Outcome agree(String what, Outcome java, Outcome cli) {
    check.equal(java.text, cli.text, what + ": result");
    check.equal(java.code, cli.code, what + ": error code");
    check.equal(java.message, cli.message, what + ": error message");
    return java;
  }

  private void version() throws Exception {
    Outcome version = agree("GetVersion", viaJava("GetVersion", atl::GetVersion),
        viaCommand("GetVersion", "GetVersion"));
    check.isTrue(version.code == 0 && !version.text.isEmpty(), "GetVersion gives a version");
  }

  /** The digest the component should give, computed here as a witness independent of both. */
  private static String expectedHash(String text, int flags) throws Exception {
    int kind = flags & 7;
    String algorithm = kind == 1 ? "MD5" : kind == 3 ? "SHA-256" : kind == 4 ? "SHA-512" : "SHA-1";
    // 0x10: the code page's bytes (UTF-8 here); otherwise the UTF-16LE code units.
    byte[] bytes =
        text.getBytes((flags & 0x10) != 0 ? StandardCharsets.UTF_8 : StandardCharsets.UTF_16LE);
    StringBuilder hex = new StringBuilder();
    for (byte b : MessageDigest.getInstance(algorithm).digest(bytes)) {
      hex.append(String.format("%02X", b));
    }
    return hex.toString();
  }

  private void hashes() throws Exception {
    String[] texts = {"abc", "憑證元件", "emoji 😀 beyond the BMP", "Ünïcödé ‰ and ASCII"};
    int[] flags = {0, 1, 2, 3, 4, 0x10, 0x11, 0x13, 0x14};
    for (String text : texts) {
      for (int flag : flags) {
        String what = "Hash(" + Check.show(text) + ", 0x" + Integer.toHexString(flag) + ")";
        Outcome hash = agree(
            what, viaJava(what, () -> atl.Hash(text, flag)), viaCommand(what, "Hash", text, flag));
        check.equal(expectedHash(text, flag), hash.text, what + ": the digest itself");
      }
    }
    // Empty text fails: null from Java, an empty line and exit status 1 from the command.
    Outcome empty = agree("Hash of empty text", viaJava("Hash(\"\")", () -> atl.Hash("", 3)),
        viaCommand("Hash of empty text", "Hash", "", 3));
    check.equal(5005, empty.code, "Hash of empty text: code");
  }

  private void encryption() throws Exception {
    // {key, algorithm, flags}: three-key and two-key triple DES, single DES; UTF-16LE or code page.
    Object[][] cases = {
        {KEY24, 0, 0}, {KEY24, 0, 0x0800}, {KEY16, 0, 0}, {KEY8, 1, 0}, {KEY8, 1, 0x0800}};
    String[] texts = {"plain ASCII", "機密文件 with 😀"};
    for (Object[] c : cases) {
      String key = (String) c[0];
      int algorithm = (Integer) c[1];
      int flags = (Integer) c[2];
      for (String text : texts) {
        String what = "SymEncrypt(" + Check.show(text) + ", " + key.length() / 2 + "-byte key, "
            + algorithm + ", 0x" + Integer.toHexString(flags) + ")";
        Outcome sealed =
            agree(what, viaJava(what, () -> atl.SymEncrypt(text, key, algorithm, flags)),
                viaCommand(what, "SymEncrypt", text, key, algorithm, flags));
        check.equal(0, sealed.code, what + ": code");
        String back = "SymDecrypt of " + what;
        Outcome opened =
            agree(back, viaJava(back, () -> atl.SymDecrypt(sealed.text, key, algorithm, flags)),
                viaCommand(back, "SymDecrypt", sealed.text, key, algorithm, flags));
        check.equal(text, opened.text, back + ": the text comes back");
      }
    }

    String sealed = atl.SymEncrypt("a secret", KEY24, 0, 0);
    // {what, cipher, key, algorithm, expected code}
    Object[][] failures = {
        // Spaces and '!' are not Base64.
        {"not Base64", "not base64 !", KEY24, 0, 9002},
        // Another three-key triple DES key: the padding of the last block comes out wrong.
        {"wrong key", sealed, KEY24.replace('0', '9'), 0, 9005},
        // 47 hex digits: half a byte short.
        {"odd key hex", sealed, KEY24.substring(1), 0, 5005},
        // Only 0 (triple DES) and 1 (DES) exist.
        {"unknown algorithm", sealed, KEY24, 7, 9001},
        // Eight bytes of key do not make a triple DES key.
        {"key too short for triple DES", sealed, KEY8, 0, 9003},
    };
    for (Object[] f : failures) {
      String what = "SymDecrypt, " + f[0];
      String cipher = (String) f[1];
      String key = (String) f[2];
      int algorithm = (Integer) f[3];
      Outcome failed = agree(what, viaJava(what, () -> atl.SymDecrypt(cipher, key, algorithm, 0)),
          viaCommand(what, "SymDecrypt", cipher, key, algorithm, 0));
      check.equal(f[4], failed.code, what + ": code");
      check.equal("", failed.text, what + ": no text");
      check.isTrue(failed.message != null && !failed.message.isEmpty(), what + ": a message");
    }
  }

  private void registry() throws Exception {
    // Written by Java, read by both.
    String name = REGISTRY_KEY + "From Java";
    String value = "寫入 by Java 😀";
    check.equal(0, atl.RegWriteHKCUStr(name, value), "RegWriteHKCUStr from Java");
    Outcome read =
        agree("RegReadHKCU of Java's value", viaJava("RegReadHKCU", () -> atl.RegReadHKCU(name)),
            viaCommand("RegReadHKCU of Java's value", "RegReadHKCU", name));
    check.equal(value, read.text, "RegReadHKCU of Java's value: the value");

    // Written by the command over what Java wrote: the Java process sees the new value.
    String overwritten = "改寫 by the command";
    agree("RegWriteHKCUStr",
        viaJava("RegWriteHKCUStr", () -> atl.RegWriteHKCUStr(REGISTRY_KEY + "Both", "first")),
        viaCommand("RegWriteHKCUStr", "RegWriteHKCUStr", REGISTRY_KEY + "Both", overwritten));
    read = agree("RegReadHKCU of the command's value",
        viaJava("RegReadHKCU", () -> atl.RegReadHKCU(REGISTRY_KEY + "Both")),
        viaCommand("RegReadHKCU of the command's value", "RegReadHKCU", REGISTRY_KEY + "Both"));
    check.equal(overwritten, read.text, "RegReadHKCU of the command's value: the value");

    // A missing value is success with empty text; a missing key is 5906.
    Outcome missing = agree("RegReadHKCU of a missing value",
        viaJava("RegReadHKCU", () -> atl.RegReadHKCU(REGISTRY_KEY + "Nothing")),
        viaCommand("RegReadHKCU of a missing value", "RegReadHKCU", REGISTRY_KEY + "Nothing"));
    check.isTrue(missing.code == 0 && "".equals(missing.text), "a missing value reads as empty");
    String absentKey = REGISTRY_KEY + "No Such Key\\Value";
    Outcome noKey = agree("RegReadHKCU of a missing key",
        viaJava("RegReadHKCU", () -> atl.RegReadHKCU(absentKey)),
        viaCommand("RegReadHKCU of a missing key", "RegReadHKCU", absentKey));
    check.equal(5906, noKey.code, "RegReadHKCU of a missing key: code");
  }

  private void certificates() throws Exception {
    Outcome none =
        agree("GetIECertCount of an empty MY", viaJava("GetIECertCount", atl::GetIECertCount),
            viaCommand("GetIECertCount of an empty MY", "GetIECertCount"));
    check.equal("0", none.text, "GetIECertCount of an empty MY: count");

    // A certificate the command adds to MY is seen by both.
    Path work = Files.createTempDirectory("kelvadrome-java-agreement");
    try {
      Path pem = work.resolve("cert.pem");
      String commonName = "Agreement 憑證";
      Process openssl = new ProcessBuilder("openssl", "req", "-x509", "-newkey", "rsa:2048",
          "-nodes", "-keyout", work.resolve("key.pem").toString(), "-out", pem.toString(), "-subj",
          "/CN=" + commonName + "/O=Example/C=TW", "-utf8", "-days", "1")
                            .redirectErrorStream(true)
                            .redirectOutput(work.resolve("openssl.log").toFile())
                            .start();
      check.isTrue(openssl.waitFor(120, TimeUnit.SECONDS) && openssl.exitValue() == 0,
          "openssl makes a certificate");
      Process add = commandProcess(List.of(command, "cert", "add", pem.toString(), "MY"))
                        .redirectErrorStream(true)
                        .redirectOutput(work.resolve("add.log").toFile())
                        .start();
      check.isTrue(add.waitFor(60, TimeUnit.SECONDS) && add.exitValue() == 0,
          "kelvadrome cert add puts it into MY");
      Outcome one =
          agree("GetIECertCount after cert add", viaJava("GetIECertCount", atl::GetIECertCount),
              viaCommand("GetIECertCount after cert add", "GetIECertCount"));
      check.equal("1", one.text, "GetIECertCount after cert add: count");
      // The index reads the snapshot of the process's own last count: Java's finds the
      // certificate; a fresh command process has counted nothing, so it gets empty text and 0.
      Outcome java = viaJava("GetIECertCommonName(1)", () -> atl.GetIECertCommonName(1));
      check.equal(commonName, java.text, "GetIECertCommonName(1) after Java's count");
      check.equal(0, java.code, "GetIECertCommonName(1) after Java's count: code");
      Outcome fresh =
          viaCommand("GetIECertCommonName(1) without a count", "GetIECertCommonName", 1);
      check.isTrue("".equals(fresh.text) && fresh.code == 0,
          "GetIECertCommonName(1) in a process that has not counted: empty text, code 0");
    } finally {
      TestProfile.deleteTree(work);
    }
  }

  public static void main(String[] args) throws Exception {
    TestProfile.makeFresh();
    Check check = new Check("SurfaceAgreementTest");
    if (args.length != 1 || !"UTF-8".equals(System.getProperty("sun.jnu.encoding"))
        || !"UTF-8".equals(System.getenv("KELVADROME_CODEPAGE"))) {
      check.fail("usage: SurfaceAgreementTest <kelvadrome executable>, in a UTF-8 locale, with"
          + " KELVADROME_CODEPAGE=UTF-8");
      System.exit(check.finish());
    }
    SurfaceAgreementTest test = new SurfaceAgreementTest(check, args[0]);
    test.version();
    test.hashes();
    test.encryption();
    test.registry();
    test.certificates();
    System.exit(check.finish());
  }
}
