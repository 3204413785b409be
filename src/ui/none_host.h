// NoneHost: the host for processes where no dialog can be created (no terminal, batch jobs, tests).
// Every picker and dialog answers kUnavailable at once, without initialising the model; message
// boxes and file views are dropped.
#pragma once

#include <string>

#include "ui/dialog_host.h"

namespace kelvadrome {

class NoneHost : public DialogHost {
 public:
  PickResult PickOpenFile(const OpenFileRequest& request) override;
  PickResult BrowseFolder(const std::string& title) override;
  DialogOutcome ShowModal(DialogModel& model) override;
  void ShowMessage(const std::string& caption, const std::string& text) override;
  void ViewFile(const std::string& path) override;
};

}  // namespace kelvadrome
