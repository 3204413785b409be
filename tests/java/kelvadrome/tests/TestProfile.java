package kelvadrome.tests;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.Comparator;
import java.util.stream.Stream;

/** The throwaway profile every test program runs on. */
final class TestProfile {
  /** The folder that holds the test programs' profiles; nothing outside it is ever removed. */
  static final String PROFILES_FOLDER = "java-test-profiles";

  private TestProfile() {}

  /**
   * Empties the profile named by KELVADROME_PROFILE so that the component starts afresh. Must run
   * before the component's class is first used. Refuses to run unless dialogs are off and the
   * profile lies in a folder named java-test-profiles, so a real profile is never touched.
   */
  static void makeFresh() throws IOException {
    String profile = System.getenv("KELVADROME_PROFILE");
    if (!"none".equals(System.getenv("KELVADROME_DIALOGS")) || profile == null
        || profile.isEmpty()) {
      throw new IllegalStateException(
          "run with KELVADROME_DIALOGS=none and KELVADROME_PROFILE set to a scratch folder");
    }
    Path folder = Paths.get(profile).toAbsolutePath();
    Path parent = folder.getParent();
    if (parent == null || !parent.getFileName().toString().equals(PROFILES_FOLDER)) {
      throw new IllegalStateException("not a test profile: " + folder);
    }
    deleteTree(folder);
  }

  /** Removes a folder with everything in it; nothing when it does not exist. */
  static void deleteTree(Path folder) throws IOException {
    if (!Files.exists(folder)) return;
    try (Stream<Path> paths = Files.walk(folder)) {
      for (Path path : (Iterable<Path>) paths.sorted(Comparator.reverseOrder())::iterator) {
        Files.delete(path);
      }
    }
  }
}
