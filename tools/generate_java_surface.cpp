// generate_java_surface: writes the Java surface of the component from the method table, so that
// adding a method to the table is the only edit the Java surface needs.
//
//   generate_java_surface --natives <file.inc> --java <QuorixATLApplet.java> --methods <list.txt>
//
// --natives  the JNI natives, one extern "C" definition per method, included by
//            src/frame/jni_surface.cpp. Each forwards to the flat export of its method.
// --java     the Java class com.Quorix.QuorixATLApplet with one public native method per method.
// --methods  one line per method, "<Result> <Name>(<Type> <name>, ...)", which
//            the Java tests compare with the compiled class.
// Exit status 0 when all three files were written, 1 otherwise.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "frame/method_table.h"
#include "method_parameters.h"

namespace kelvadrome {
namespace {

constexpr std::string_view kJavaPackage = "com.Quorix";
constexpr std::string_view kJavaClass = "QuorixATLApplet";
constexpr std::string_view kLibraryName = "KelvadromeATL";

// The JNI short name of a native: "Java_", the mangled class name with '/' as '_', '_', the
// mangled method name. '_' inside a name becomes "_1"; characters outside [A-Za-z0-9] "_0xxxx".
std::string MangleForJni(std::string_view name) {
  std::string mangled;
  for (char c : name) {
    const auto u = static_cast<unsigned char>(c);
    if ((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9')) {
      mangled += c;
    } else if (c == '_') {
      mangled += "_1";
    } else if (c == '.' || c == '/') {
      mangled += '_';
    } else {
      char escape[8];
      std::snprintf(escape, sizeof escape, "_0%04x", u);
      mangled += escape;
    }
  }
  return mangled;
}

std::string NativeName(const MethodDescriptor& method) {
  return "Java_" + MangleForJni(kJavaPackage) + "_" + MangleForJni(kJavaClass) + "_" +
         MangleForJni(method.name);
}

const char* JavaType(ValueKind kind) {
  return kind == ValueKind::kText ? "String" : "int";
}

const char* JniType(ValueKind kind) {
  return kind == ValueKind::kText ? "jstring" : "jint";
}

bool Parameters(const MethodDescriptor& method, std::vector<Parameter>* out) {
  return MethodParameters("generate_java_surface", method, out);
}

// "(String strName, int dw)", or "(jstring strName, jint dw)" with |jni| set.
std::string ParameterList(const std::vector<Parameter>& parameters, bool jni) {
  std::string text;
  for (const auto& parameter : parameters) {
    if (!text.empty()) text += ", ";
    text += jni ? JniType(parameter.kind) : JavaType(parameter.kind);
    text += " " + parameter.name;
  }
  return "(" + text + ")";
}

bool WriteNatives(std::ostream& out) {
  out << "// The JNI natives of " << kJavaPackage << "." << kJavaClass
      << ", generated from the method table by\n"
         "// generate_java_surface. Do not edit: change the table instead.\n";
  std::vector<Parameter> parameters;
  for (const auto& method : kMethods) {
    if (!Parameters(method, &parameters)) return false;
    out << "\n// " << JavaType(method.result) << " " << method.name
        << ParameterList(parameters, false) << "\n";
    out << "extern \"C\" JNIEXPORT " << JniType(method.result) << " JNICALL " << NativeName(method);
    out << "(JNIEnv* env, jobject /*self*/";
    for (const auto& parameter : parameters) {
      out << ", " << JniType(parameter.kind) << " " << parameter.name;
    }
    out << ") {\n  return kelvadrome::jni::Forward(env, &::" << method.export_name;
    for (const auto& parameter : parameters) out << ", " << parameter.name;
    out << ");\n}\n";
  }
  return true;
}

bool WriteJavaClass(std::ostream& out) {
  out << "// Generated from the component's method table by generate_java_surface. Do not edit.\n"
      << "package " << kJavaPackage << ";\n\n"
      << "/**\n"
         " * The certificate and key component for Java. Every method is native and acts on the\n"
         " * one component of the process (shared with native callers of lib"
      << kLibraryName
      << ".so).\n"
         " *\n"
         " * <p>A null string argument, or one holding the character U+0000, makes a method "
         "return\n"
         " * -1 or null without doing anything.\n"
         " * An empty text result is returned as null; GetErrorCode and GetErrorMsg tell whether\n"
         " * the last call succeeded.\n"
         " *\n"
         " * <p>The library is loaded from the file named by the system property\n"
         " * {@code kelvadrome.library} when it is set, else by its name from\n"
         " * {@code java.library.path}.\n"
         " */\n"
      << "public class " << kJavaClass << " {\n"
      << "  static {\n"
         "    String library = System.getProperty(\"kelvadrome.library\");\n"
         "    if (library != null && !library.isEmpty()) {\n"
         "      System.load(library);\n"
         "    } else {\n"
         "      System.loadLibrary(\""
      << kLibraryName
      << "\");\n"
         "    }\n"
         "  }\n\n";
  std::vector<Parameter> parameters;
  for (const auto& method : kMethods) {
    if (!Parameters(method, &parameters)) return false;
    out << "  public native " << JavaType(method.result) << " " << method.name
        << ParameterList(parameters, false) << ";\n";
  }
  out << "}\n";
  return true;
}

bool WriteMethodList(std::ostream& out) {
  out << "# The native methods of " << kJavaPackage << "." << kJavaClass
      << " as the method table describes them.\n";
  std::vector<Parameter> parameters;
  for (const auto& method : kMethods) {
    if (!Parameters(method, &parameters)) return false;
    out << JavaType(method.result) << " " << method.name << ParameterList(parameters, false)
        << "\n";
  }
  return true;
}

bool WriteFile(const std::string& path, bool (*write)(std::ostream&)) {
  std::ostringstream text;
  if (!write(text)) return false;
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << text.str();
  file.close();
  if (!file) {
    std::cerr << "generate_java_surface: cannot write " << path << "\n";
    return false;
  }
  return true;
}

int Main(int argc, char** argv) {
  std::map<std::string, std::string> outputs;
  for (int i = 1; i + 1 < argc; i += 2) outputs[argv[i]] = argv[i + 1];
  if (argc != 7 || outputs.size() != 3 || !outputs.count("--natives") || !outputs.count("--java") ||
      !outputs.count("--methods")) {
    std::cerr << "usage: generate_java_surface --natives <file.inc> --java <file.java> "
                 "--methods <file.txt>\n";
    return 1;
  }
  const bool written = WriteFile(outputs["--natives"], WriteNatives) &&
                       WriteFile(outputs["--java"], WriteJavaClass) &&
                       WriteFile(outputs["--methods"], WriteMethodList);
  return written ? 0 : 1;
}

}  // namespace
}  // namespace kelvadrome

int main(int argc, char** argv) {
  return kelvadrome::Main(argc, argv);
}
