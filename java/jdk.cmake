# Finds the JDK the Java surface is built with: javac and jar (find_package(Java)) and the JNI
# headers of the same JDK. Sets KELVADROME_JDK_FOUND; read by java/ and tests/java/.
find_package(Java 11 COMPONENTS Development Runtime)
if(Java_FOUND AND NOT JAVA_HOME AND NOT DEFINED ENV{JAVA_HOME})
  # Without JAVA_HOME, FindJNI knows only fixed folders (Debian's default-java comes from another
  # package than the JDK); the JDK of javac is the one wanted anyway.
  get_filename_component(KELVADROME_JAVAC_REAL "${Java_JAVAC_EXECUTABLE}" REALPATH)
  get_filename_component(KELVADROME_JAVAC_BIN "${KELVADROME_JAVAC_REAL}" DIRECTORY)
  get_filename_component(JAVA_HOME "${KELVADROME_JAVAC_BIN}" DIRECTORY)
endif()
find_package(JNI OPTIONAL_COMPONENTS AWT JVM)
if(Java_FOUND AND JNI_FOUND)
  set(KELVADROME_JDK_FOUND TRUE)
else()
  set(KELVADROME_JDK_FOUND FALSE)
endif()
