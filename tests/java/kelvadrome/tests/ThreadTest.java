package kelvadrome.tests;

import com.Quorix.QuorixATLApplet;
import java.security.MessageDigest;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.atomic.AtomicReference;

/** Two Java threads calling the component at once each get their own, correct results. */
public final class ThreadTest {
  private static final int ROUNDS = 3000;

  public static void main(String[] args) throws Exception {
    TestProfile.makeFresh();
    Check check = new Check("ThreadTest");
    CountDownLatch start = new CountDownLatch(1);
    AtomicInteger mismatches = new AtomicInteger();
    AtomicInteger calls = new AtomicInteger();
    AtomicReference<Throwable> trouble = new AtomicReference<>();

    // One thread asks for MD5 (flags 1), the other for SHA-256 (flags 3), of texts that differ in
    // every round, so a result handed to the wrong caller cannot go unnoticed.
    Thread[] threads = new Thread[2];
    for (int t = 0; t < threads.length; t++) {
      final int flags = t == 0 ? 1 : 3;
      final String algorithm = t == 0 ? "MD5" : "SHA-256";
      final String prefix = t == 0 ? "線程甲 😀 " : "thread B 𠀀 ";
      threads[t] = new Thread(() -> {
        try {
          QuorixATLApplet atl = new QuorixATLApplet();
          MessageDigest digest = MessageDigest.getInstance(algorithm);
          start.await();
          for (int i = 0; i < ROUNDS; i++) {
            String text = prefix + i;
            String expected = TextTest.upperHex(digest.digest(TextTest.codeUnits(text)));
            if (!expected.equals(atl.Hash(text, flags))) mismatches.incrementAndGet();
            calls.incrementAndGet();
          }
        } catch (Throwable e) {
          trouble.compareAndSet(null, e);
        }
      });
      threads[t].start();
    }
    start.countDown();
    for (Thread thread : threads) thread.join();

    check.equal(null, trouble.get(), "nothing thrown in the threads");
    check.equal(2 * ROUNDS, calls.get(), "calls made");
    check.equal(0, mismatches.get(), "results that were not the caller's digest");
    System.exit(check.finish());
  }
}
