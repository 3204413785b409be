// The parameters of a method-table row with their names, for the generators in this folder.
#pragma once

#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "frame/method_table.h"

namespace kelvadrome {

struct Parameter {
  ValueKind kind;
  std::string name;
};

// MethodParameters fills |out| with |method|'s parameters and their names. It fails, saying so on
// standard error under |program|'s name, when the declaration text and the kinds disagree, which
// would make every generated file wrong.
inline bool MethodParameters(std::string_view program, const MethodDescriptor& method,
                             std::vector<Parameter>* out) {
  const std::vector<std::string> names = method.ParameterNames();
  if (names.size() != method.parameter_count) {
    std::cerr << program << ": " << method.name << " declares " << names.size()
              << " parameter names for " << int{method.parameter_count} << " parameters\n";
    return false;
  }
  out->clear();
  for (size_t i = 0; i < names.size(); ++i) out->push_back({method.parameters[i], names[i]});
  return true;
}

}  // namespace kelvadrome
