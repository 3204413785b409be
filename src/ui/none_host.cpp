#include "ui/none_host.h"

namespace kelvadrome {

PickResult NoneHost::PickOpenFile(const OpenFileRequest&) {
  return {DialogOutcome::kUnavailable, {}};
}

PickResult NoneHost::BrowseFolder(const std::string&) {
  return {DialogOutcome::kUnavailable, {}};
}

DialogOutcome NoneHost::ShowModal(DialogModel&) {
  return DialogOutcome::kUnavailable;
}

void NoneHost::ShowMessage(const std::string&, const std::string&) {}

void NoneHost::ViewFile(const std::string&) {}

}  // namespace kelvadrome
