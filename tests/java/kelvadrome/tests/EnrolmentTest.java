package kelvadrome.tests;

import com.Quorix.QuorixATLApplet;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Arrays;
import java.util.Base64;
import java.util.concurrent.TimeUnit;

/**
 * The whole road from Java: a key and its request, a certificate issued by the openssl command
 * acting as certificate authority, its acceptance, the choice of signer, and PKCS #1 and PKCS #7
 * signatures that openssl verifies.
 */
public final class EnrolmentTest {
  private static final String COMMON_NAME = "Java 憑證 Road";
  // The signed bytes are the content's UTF-16LE code units; the pair beyond the BMP must survive.
  private static final String CONTENT = "簽章 from Java 😀 " + System.nanoTime();

  private final Path work;
  private final Check check;

  private EnrolmentTest(Path work, Check check) {
    this.work = work;
    this.check = check;
  }

  /** Runs a command in the work folder; its output goes to |output| (or is dropped). */
  private int run(Path output, String... command) throws IOException, InterruptedException {
    ProcessBuilder builder = new ProcessBuilder(command).directory(work.toFile());
    builder.redirectError(work.resolve("stderr.txt").toFile());
    builder.redirectOutput(output != null ? output.toFile() : work.resolve("stdout.txt").toFile());
    Process process = builder.start();
    if (!process.waitFor(120, TimeUnit.SECONDS)) {
      process.destroyForcibly();
      throw new IOException("timed out: " + String.join(" ", command));
    }
    return process.exitValue();
  }

  /** Runs a command that must succeed, printing what it said when it does not. */
  private void mustRun(Path output, String... command) throws Exception {
    int status = run(output, command);
    if (status != 0) {
      throw new IOException(String.join(" ", command) + " exited with " + status + ": "
          + Files.readString(work.resolve("stderr.txt")));
    }
  }

  private Path write(String name, byte[] bytes) throws IOException {
    return Files.write(work.resolve(name), bytes);
  }

  private Path writeBase64(String name, String base64) throws IOException {
    return write(name, Base64.getMimeDecoder().decode(base64));
  }

  private void road() throws Exception {
    QuorixATLApplet atl = new QuorixATLApplet();

    // The key and its request, handed to the certificate authority as PEM.
    String request = atl.CreatePKCS10(COMMON_NAME, 2048, 1);
    check.equal(0, atl.GetErrorCode(), "CreatePKCS10");
    check.isTrue(request != null && !request.isEmpty(), "CreatePKCS10 returns the request");
    check.equal(request, atl.GetCsrForSign(), "GetCsrForSign returns the same request");
    String pem = "-----BEGIN CERTIFICATE REQUEST-----\n"
        + Base64.getMimeEncoder(64, "\n".getBytes(StandardCharsets.US_ASCII))
              .encodeToString(Base64.getMimeDecoder().decode(request))
        + "\n-----END CERTIFICATE REQUEST-----\n";
    write("request.pem", pem.getBytes(StandardCharsets.US_ASCII));
    check.equal(0, run(null, "openssl", "req", "-verify", "-noout", "-in", "request.pem"),
        "openssl verifies the request's own signature");

    // A root CA made on the spot issues the certificate; the answer is a PKCS #7 bundle.
    write("ext.cnf",
        ("[ee]\nkeyUsage=critical,digitalSignature,nonRepudiation,keyEncipherment\n")
            .getBytes(StandardCharsets.US_ASCII));
    mustRun(null, "openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key",
        "-out", "ca.pem", "-subj", "/CN=Java Surface Test CA/O=Example/C=TW", "-days", "2",
        "-addext", "basicConstraints=critical,CA:true", "-addext",
        "keyUsage=critical,keyCertSign,cRLSign");
    mustRun(null, "openssl", "x509", "-req", "-in", "request.pem", "-CA", "ca.pem", "-CAkey",
        "ca.key", "-set_serial", "4242", "-days", "1", "-sha256", "-extfile", "ext.cnf",
        "-extensions", "ee", "-out", "user.pem");
    mustRun(null, "openssl", "crl2pkcs7", "-nocrl", "-certfile", "ca.pem", "-certfile", "user.pem",
        "-out", "answer.p7b");
    mustRun(
        work.resolve("user-key.pem"), "openssl", "x509", "-in", "user.pem", "-noout", "-pubkey");
    check.equal(0, atl.AcceptPKCS7(Files.readString(work.resolve("answer.p7b"))), "AcceptPKCS7");
    check.equal(0, atl.GetErrorCode(), "AcceptPKCS7 leaves success");

    // The issued certificate becomes the signer: the one match in "MY", taken without a dialog.
    check.equal(0, atl.SelectSigner("S_CN=" + COMMON_NAME, 0x100 | 2, 0), "SelectSigner");
    check.equal(null, atl.GetSignerPfxFilePath(), "a signer from the store has no file");

    Path content = write("content.bin", TextTest.codeUnits(CONTENT));
    write("other.bin", TextTest.codeUnits(CONTENT + "!"));

    // PKCS #1: SHA-1 over the UTF-16LE code units, Base64 (0x0100), most significant byte first.
    String signature = atl.SignPkcs1(CONTENT, 0x0100);
    check.equal(0, atl.GetErrorCode(), "SignPkcs1");
    check.isTrue(signature != null, "SignPkcs1 returns a signature");
    if (signature != null) {
      writeBase64("signature.bin", signature);
      check.equal(0,
          run(null, "openssl", "dgst", "-sha1", "-verify", "user-key.pem", "-signature",
              "signature.bin", "content.bin"),
          "openssl verifies the PKCS #1 signature");
      check.isTrue(run(null, "openssl", "dgst", "-sha1", "-verify", "user-key.pem", "-signature",
                       "signature.bin", "other.bin")
              != 0,
          "openssl rejects the signature for other content");
    }

    // PKCS #7 with the chain and the signing time, the content carried in the message.
    String attached = atl.SignPkcs7(CONTENT, 0x0200 | 0x2000);
    check.equal(0, atl.GetErrorCode(), "SignPkcs7 attached");
    check.isTrue(attached != null, "SignPkcs7 returns a message");
    if (attached != null) {
      writeBase64("attached.p7", attached);
      check.equal(0,
          run(null, "openssl", "cms", "-verify", "-binary", "-purpose", "any", "-inform", "DER",
              "-in", "attached.p7", "-CAfile", "ca.pem", "-out", "carried.bin"),
          "openssl verifies the attached message");
      check.isTrue(Arrays.equals(Files.readAllBytes(content),
                       Files.readAllBytes(work.resolve("carried.bin"))),
          "the message carries the content");
    }

    // Detached: the verifier needs the content, and other content fails.
    String detached = atl.SignPkcs7(CONTENT, 0x0400);
    check.equal(0, atl.GetErrorCode(), "SignPkcs7 detached");
    check.isTrue(detached != null, "SignPkcs7 returns a detached message");
    if (detached != null) {
      writeBase64("detached.p7", detached);
      check.equal(0,
          run(null, "openssl", "cms", "-verify", "-binary", "-purpose", "any", "-inform", "DER",
              "-in", "detached.p7", "-content", "content.bin", "-CAfile", "ca.pem", "-out",
              "/dev/null"),
          "openssl verifies the detached message");
      check.isTrue(run(null, "openssl", "cms", "-verify", "-binary", "-purpose", "any", "-inform",
                       "DER", "-in", "detached.p7", "-content", "other.bin", "-CAfile", "ca.pem",
                       "-out", "/dev/null")
              != 0,
          "openssl rejects it for other content");
    }
  }

  public static void main(String[] args) throws Exception {
    TestProfile.makeFresh();
    Check check = new Check("EnrolmentTest");
    Path work = Files.createTempDirectory("kelvadrome-java-road");
    try {
      new EnrolmentTest(work, check).road();
    } finally {
      TestProfile.deleteTree(work);
    }
    System.exit(check.finish());
  }
}
