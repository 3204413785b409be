#include "frame/method_table.h"
#include <cctype>

namespace kelvadrome {

static_assert(kMethodCount == 63);

std::vector<std::string> MethodDescriptor::ParameterNames() const {
  // Each declaration in the list ends with its name: take the identifier before every ',' and ')'.
  std::vector<std::string> names;
  size_t end = 0;
  while ((end = parameter_list.find_first_of(",)", end)) != std::string_view::npos) {
    size_t begin = end;
    while (begin > 0 && (std::isalnum(static_cast<unsigned char>(parameter_list[begin - 1])) ||
                         parameter_list[begin - 1] == '_')) {
      --begin;
    }
    if (begin < end) names.emplace_back(parameter_list.substr(begin, end - begin));
    ++end;
  }
  return names;
}

const MethodDescriptor* FindMethod(std::string_view name) {
  for (const auto& method : kMethods) {
    if (method.name == name) return &method;
  }
  return nullptr;
}

}  // namespace kelvadrome
