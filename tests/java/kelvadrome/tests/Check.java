package kelvadrome.tests;

import java.util.ArrayList;
import java.util.List;
import java.util.Objects;

/** Collects the outcome of a test program's checks and turns them into its exit status. */
final class Check {
  private final String program;
  private final List<String> failures = new ArrayList<>();
  private int passed;

  Check(String program) { this.program = program; }

  void equal(Object expected, Object actual, String what) {
    if (Objects.equals(expected, actual)) {
      passed++;
    } else {
      failures.add(what + ": expected " + show(expected) + ", got " + show(actual));
    }
  }

  void isTrue(boolean condition, String what) {
    if (condition) {
      passed++;
    } else {
      failures.add(what);
    }
  }

  void fail(String what) { failures.add(what); }

  /** Prints the outcome and returns the exit status: 0 when every check passed. */
  int finish() {
    for (String failure : failures) System.out.println("FAILED: " + failure);
    System.out.println(program + ": " + passed + " passed, " + failures.size() + " failed");
    return failures.isEmpty() && passed > 0 ? 0 : 1;
  }

  /** A value as a reader can tell it apart: strings quoted, control and surrogate units escaped. */
  static String show(Object value) {
    if (!(value instanceof String)) return String.valueOf(value);
    String text = (String) value;
    StringBuilder shown = new StringBuilder("\"");
    for (int i = 0; i < text.length() && i < 200; i++) {
      char c = text.charAt(i);
      if (c < 0x20 || Character.isSurrogate(c)) {
        shown.append(String.format("\\u%04X", (int) c));
      } else {
        shown.append(c);
      }
    }
    if (text.length() > 200) shown.append("...(").append(text.length()).append(" chars)");
    return shown.append('"').toString();
  }
}
