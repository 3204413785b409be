package kelvadrome.tests;

import com.Quorix.QuorixATLApplet;
import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;
import java.lang.reflect.Modifier;
import java.lang.reflect.Parameter;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.TreeSet;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/**
 * The class declares the table's methods exactly, the library exports one native for each, and
 * every native is linked and refuses null strings without touching the component.
 *
 * <p>Arguments: the method list written from the table, the nm command, the library file.
 */
public final class DeclarationTest {
  private static final String NATIVE_PREFIX = "Java_com_Quorix_QuorixATLApplet_";
  private static final int TABLE_SIZE = 63;

  /** One line of the method list: "String Hash(String strPlainText, int dwFlags)". */
  private static final class Row {
    String result;
    String name;
    final List<String> types = new ArrayList<>();
    final List<String> names = new ArrayList<>();
  }

  private static final Pattern LINE =
      Pattern.compile("(String|int) (\\w+)\\((.*)\\)");

  private static List<Row> readMethodList(String path) throws IOException {
    List<Row> rows = new ArrayList<>();
    for (String line : Files.readAllLines(Paths.get(path), StandardCharsets.UTF_8)) {
      if (line.isEmpty() || line.startsWith("#")) continue;
      Matcher match = LINE.matcher(line);
      if (!match.matches()) throw new IOException("malformed method line: " + line);
      Row row = new Row();
      row.result = match.group(1);
      row.name = match.group(2);
      if (!match.group(3).isEmpty()) {
        for (String parameter : match.group(3).split(", ")) {
          String[] typeAndName = parameter.split(" ");
          if (typeAndName.length != 2) throw new IOException("malformed parameter: " + line);
          row.types.add(typeAndName[0]);
          row.names.add(typeAndName[1]);
        }
      }
      rows.add(row);
    }
    return rows;
  }

  private static TreeSet<String> exportedNatives(String nm, String library)
      throws IOException, InterruptedException {
    Process process =
        new ProcessBuilder(nm, "-D", "--defined-only", "--format=just-symbols", library)
            .redirectErrorStream(true)
            .start();
    TreeSet<String> names = new TreeSet<>();
    try (BufferedReader reader = new BufferedReader(
             new InputStreamReader(process.getInputStream(), StandardCharsets.UTF_8))) {
      for (String line; (line = reader.readLine()) != null;) {
        if (line.trim().startsWith("Java_")) names.add(line.trim());
      }
    }
    if (process.waitFor() != 0) throw new IOException(nm + " failed on " + library);
    return names;
  }

  private static void checkDeclarations(Check check, List<Row> rows) {
    Map<String, Method> declared = new HashMap<>();
    for (Method method : QuorixATLApplet.class.getDeclaredMethods()) {
      int modifiers = method.getModifiers();
      check.isTrue(Modifier.isPublic(modifiers) && Modifier.isNative(modifiers)
              && !Modifier.isStatic(modifiers),
          method.getName() + " is a public instance native");
      check.isTrue(
          declared.put(method.getName(), method) == null, method.getName() + " declared once");
    }
    TreeSet<String> tableNames = new TreeSet<>();
    for (Row row : rows) tableNames.add(row.name);
    check.equal(tableNames, new TreeSet<>(declared.keySet()), "declared methods");
    for (Row row : rows) {
      Method method = declared.get(row.name);
      if (method == null) continue;
      check.equal(row.result, method.getReturnType().getSimpleName(), row.name + " result type");
      List<String> types = new ArrayList<>();
      List<String> names = new ArrayList<>();
      for (Parameter parameter : method.getParameters()) {
        types.add(parameter.getType().getSimpleName());
        names.add(parameter.isNamePresent() ? parameter.getName() : "?");
      }
      check.equal(row.types, types, row.name + " parameter types");
      check.equal(row.names, names, row.name + " parameter names");
    }
  }

  /**
   * Calls every native once. Methods with string parameters get null strings (all of them, then
   * only the later ones): they must answer -1 or null and leave the error code of the previous
   * call. Planned methods must do the same with readable arguments too. The rest only have to be
   * linked.
   */
  private static void checkEveryNative(Check check, List<Row> rows) {
    QuorixATLApplet atl = new QuorixATLApplet();
    for (Row row : rows) {
      boolean hasText = row.types.contains("String");
      List<Object[]> argumentSets = new ArrayList<>();
      argumentSets.add(arguments(row, false));
      if (row.types.stream().filter(type -> type.equals("String")).count() > 1) {
        argumentSets.add(arguments(row, true));
      }
      for (Object[] arguments : argumentSets) {
        String call = row.name + Arrays.toString(arguments);
        atl.Hash("", 0); // leaves 5005, which a refused call must not change
        Object result;
        try {
          result =
              QuorixATLApplet.class.getMethod(row.name, parameterTypes(row)).invoke(atl, arguments);
        } catch (ReflectiveOperationException e) {
          Throwable cause = e instanceof InvocationTargetException ? e.getCause() : e;
          check.fail(call + " threw " + cause);
          continue;
        }
        if (hasText) {
          Object refused = row.result.equals("int") ? Integer.valueOf(-1) : null;
          check.equal(refused, result, call + " result");
          check.equal(5005, atl.GetErrorCode(), call + " leaves the error code");
        } else {
          check.isTrue(
              row.result.equals("String") || result instanceof Integer, call + " returns its type");
        }
      }
    }
  }

  private static Class<?>[] parameterTypes(Row row) {
    return row.types.stream()
        .map(type -> type.equals("String") ? String.class : int.class)
        .toArray(size -> new Class<?>[ size ]);
  }

  /** Null for every string (or, with |firstReadable|, "x" for the first one), 0 for integers. */
  private static Object[] arguments(Row row, boolean firstReadable) {
    Object[] arguments = new Object[row.types.size()];
    boolean first = true;
    for (int i = 0; i < arguments.length; i++) {
      if (row.types.get(i).equals("int")) {
        arguments[i] = 0;
      } else {
        arguments[i] = first && firstReadable ? "x" : null;
        first = false;
      }
    }
    return arguments;
  }

  public static void main(String[] args) throws Exception {
    if (args.length != 3) throw new IllegalArgumentException("method-list nm library");
    TestProfile.makeFresh();
    Check check = new Check("DeclarationTest");
    List<Row> rows = readMethodList(args[0]);
    check.equal(TABLE_SIZE, rows.size(), "methods in the table");
    checkDeclarations(check, rows);

    TreeSet<String> expected = new TreeSet<>();
    for (Row row : rows) expected.add(NATIVE_PREFIX + row.name);
    check.equal(expected, exportedNatives(args[1], args[2]), "natives the library exports");

    checkEveryNative(check, rows);
    System.exit(check.finish());
  }
}
