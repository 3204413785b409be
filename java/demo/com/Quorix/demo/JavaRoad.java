package com.Quorix.demo;

import com.Quorix.QuorixATLApplet;
import java.io.IOException;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.Base64;
import java.util.concurrent.TimeUnit;

/**
 * The component's road as a Java program walks it: version and error queries, a digest, a key
 * and its request, a certificate issued by the openssl command acting as certificate authority,
 * a PKCS #7 signature, shared-key encryption, an envelope for the new certificate, and the
 * certificate store.
 *
 * <pre>java -cp QuorixATL.jar:QuorixATLDemo.jar -Dkelvadrome.library=libKelvadromeATL.so \
 *     com.Quorix.demo.JavaRoad &lt;work folder&gt;</pre>
 *
 * The work folder must hold ca.pem and ca.key, the certificate authority's certificate and key.
 * The program leaves there request.pem, user.pem, answer.p7b, content.bin (the signed bytes) and
 * signed.p7 (the DER message), for the caller to verify. Exit status 0 when every call gave the
 * outcome expected of it, 1 otherwise.
 */
public final class JavaRoad {
  private static final String COMMON_NAME = "Java Road 憑證";
  // Characters beyond the BMP travel as surrogate pairs and must come back whole.
  private static final String CONTENT = "簽章 signed from Java 😀";
  private static final String SECRET = "A secret from Java: 機密文件 🔒";
  private static final String KEY_HEX = "00112233445566778899AABBCCDDEEFF0011223344556677";

  private final QuorixATLApplet atl = new QuorixATLApplet();
  private final PrintStream out = new PrintStream(System.out, true, StandardCharsets.UTF_8);
  private final Path work;
  private int failures;

  private JavaRoad(Path work) { this.work = work; }

  /** Prints a result shortened to one readable line. */
  private static String shown(String value) {
    if (value == null) return "(null)";
    String line = value.replace("\r", "\\r").replace("\n", "\\n");
    return line.length() > 72 ? line.substring(0, 72) + "... (" + line.length() + " chars)" : line;
  }

  /** Prints the call's result and the error state it left; counts a code other than expected. */
  private void report(String call, Object result, int expectedCode) {
    int code = atl.GetErrorCode();
    out.printf("%-44s %s%n", call,
        result instanceof String || result == null ? shown((String) result) : result);
    out.printf("%-44s %d %s%n", "  GetErrorCode / GetErrorMsg", code, shown(atl.GetErrorMsg()));
    if (code != expectedCode) {
      out.printf("  UNEXPECTED: error code %d where %d was expected%n", code, expectedCode);
      failures++;
    }
  }

  private void expect(boolean condition, String what) {
    out.printf("%-44s %s%n", "  " + what, condition ? "yes" : "NO");
    if (!condition) failures++;
  }

  /** Runs the openssl command in the work folder; throws with what it said when it fails. */
  private void openssl(String... arguments) throws IOException, InterruptedException {
    String[] command = new String[arguments.length + 1];
    command[0] = "openssl";
    System.arraycopy(arguments, 0, command, 1, arguments.length);
    Path log = work.resolve("openssl.log");
    Process process = new ProcessBuilder(command)
                          .directory(work.toFile())
                          .redirectErrorStream(true)
                          .redirectOutput(log.toFile())
                          .start();
    if (!process.waitFor(120, TimeUnit.SECONDS)) {
      process.destroyForcibly();
      throw new IOException("timed out: " + String.join(" ", command));
    }
    if (process.exitValue() != 0) {
      throw new IOException(String.join(" ", command) + " exited with " + process.exitValue()
          + ":\n" + Files.readString(log));
    }
  }

  private static byte[] utf16le(String text) { return text.getBytes(StandardCharsets.UTF_16LE); }

  private void walk() throws Exception {
    out.println("== The component as Java sees it");
    report("GetVersion", atl.GetVersion(), 0);
    report("GetErrorMsg", atl.GetErrorMsg(), 0);
    // SHA-256 of the UTF-16LE code units, then of the UTF-8 bytes (0x10: the code page).
    report("Hash(\"" + CONTENT + "\", 3)", atl.Hash(CONTENT, 3), 0);
    report("Hash(\"" + CONTENT + "\", 0x13)", atl.Hash(CONTENT, 0x13), 0);

    out.println();
    out.println("== Enrolment: a key and its request, issued by the openssl CA");
    String request = atl.CreatePKCS10(COMMON_NAME, 2048, 1);
    report("CreatePKCS10(\"" + COMMON_NAME + "\", 2048, 1)", request, 0);
    if (request == null) throw new IllegalStateException("no request: cannot go on");
    String pem = "-----BEGIN CERTIFICATE REQUEST-----\n"
        + Base64.getMimeEncoder(64, "\n".getBytes(StandardCharsets.US_ASCII))
              .encodeToString(Base64.getMimeDecoder().decode(request))
        + "\n-----END CERTIFICATE REQUEST-----\n";
    Files.writeString(work.resolve("request.pem"), pem, StandardCharsets.US_ASCII);
    Files.writeString(work.resolve("ext.cnf"),
        "[ee]\nkeyUsage=critical,digitalSignature,nonRepudiation,keyEncipherment\n",
        StandardCharsets.US_ASCII);
    openssl("x509", "-req", "-in", "request.pem", "-CA", "ca.pem", "-CAkey", "ca.key",
        "-set_serial", "7001", "-days", "1", "-sha256", "-extfile", "ext.cnf", "-extensions", "ee",
        "-out", "user.pem");
    openssl("crl2pkcs7", "-nocrl", "-certfile", "ca.pem", "-certfile", "user.pem", "-out",
        "answer.p7b");
    out.printf("%-44s %s%n", "openssl issued", "user.pem, answer.p7b (certificate and CA)");
    report("AcceptPKCS7(answer.p7b)", atl.AcceptPKCS7(Files.readString(work.resolve("answer.p7b"))),
        0);
    // 0x100: take the single match without a dialog.
    report("SelectSigner(\"S_CN=" + COMMON_NAME + "\", 0x102, 0)",
        atl.SelectSigner("S_CN=" + COMMON_NAME, 0x100 | 2, 0), 0);

    out.println();
    out.println("== A PKCS #7 signature with the chain and the signing time");
    // 0x0200 the chain, 0x2000 the signing time; the content travels inside the message.
    String signed = atl.SignPkcs7(CONTENT, 0x0200 | 0x2000);
    report("SignPkcs7(content, 0x2200)", signed, 0);
    if (signed != null) {
      Files.write(work.resolve("signed.p7"), Base64.getMimeDecoder().decode(signed));
      Files.write(work.resolve("content.bin"), utf16le(CONTENT));
      out.printf("%-44s %s%n", "  written", "signed.p7 (DER), content.bin (UTF-16LE)");
    }

    out.println();
    out.println("== Encryption");
    String sealed = atl.SymEncrypt(SECRET, KEY_HEX, 0, 0);
    report("SymEncrypt(secret, 24-byte key, 0, 0)", sealed, 0);
    String opened = atl.SymDecrypt(sealed == null ? "" : sealed, KEY_HEX, 0, 0);
    report("SymDecrypt", opened, 0);
    expect(SECRET.equals(opened), "the same text");
    // GetCertB64 leaves the error code as the call before it left it (success here).
    String recipient = atl.GetCertB64();
    report("GetCertB64", recipient, 0);
    String envelope = atl.CertEncryptPkcs7(SECRET, recipient == null ? "" : recipient, 0, 0);
    report("CertEncryptPkcs7(secret, GetCertB64, 0, 0)", envelope, 0);
    String unsealed = atl.CertDecryptPkcs7(envelope == null ? "" : envelope, 0);
    report("CertDecryptPkcs7(envelope, 0)", unsealed, 0);
    expect(SECRET.equals(unsealed), "the same text");
    // A failure, and the code and message it leaves.
    report("SymDecrypt(\"not base64 !\")", atl.SymDecrypt("not base64 !", KEY_HEX, 0, 0), 9002);

    out.println();
    out.println("== The certificate store MY");
    int count = atl.GetIECertCount();
    report("GetIECertCount", count, 0);
    String name = atl.GetIECertCommonName(1);
    report("GetIECertCommonName(1)", name, 0);
    expect(count == 1 && COMMON_NAME.equals(name), "the enrolled certificate, alone in MY");
  }

  public static void main(String[] args) throws Exception {
    if (args.length != 1) {
      System.err.println("usage: JavaRoad <work folder holding ca.pem and ca.key>");
      System.exit(2);
    }
    JavaRoad road = new JavaRoad(Paths.get(args[0]));
    road.walk();
    road.out.println();
    road.out.println(road.failures == 0 ? "Java road: every call as expected"
                                        : "Java road: " + road.failures + " unexpected outcome(s)");
    System.exit(road.failures == 0 ? 0 : 1);
  }
}
