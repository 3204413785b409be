// Feeds arbitrary bytes, as a helper would write them, to the protocol's line reader and parser,
// then plays the same bytes as the helper's side of a dialog through the gui host: a dialog with
// edits (one a limited password), buttons opening a nested picker and a message box, and
// a list. The channel is in memory; the first line the host reads is a valid "ready".
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "ui/dialog_protocol.h"
#include "ui/gui_host.h"

namespace {

class FuzzModel : public kelvadrome::DialogModel {
 public:
  FuzzModel() : DialogModel("202", "Fuzz") {
    AddStatic("label");
    AddEdit({.id = 302, .text = "x", .limit = 0});
    AddEdit({.id = 303, .text = "", .limit = 4, .password = true});
    AddEdit({.id = 304, .text = "", .enabled = false});
    AddButton({.id = 301, .label = "Browse"});
    AddButton({.id = 305, .label = "Check"});
    AddButton({.id = kelvadrome::kDialogIdOk, .label = "OK"});
    AddButton({.id = kelvadrome::kDialogIdCancel, .label = "Cancel"});
    SetList(310, {"a", "b"});
    AddRow({"1", "2"});
    AddRow({"3", "4"});
  }

 protected:
  void OnTextChanged(int id) override {
    if (id == 303) EnableControl(kelvadrome::kDialogIdOk, !EditText(303).empty());
  }
  kelvadrome::DialogClose OnClick(int id, kelvadrome::DialogHost& host) override {
    if (id == 301) {
      const kelvadrome::PickResult pick = host.PickOpenFile({.title = "Pick"});
      if (pick.outcome == kelvadrome::DialogOutcome::kOk) SetEditText(302, pick.path);
      return kelvadrome::DialogClose::kStay;
    }
    if (id == 305) {
      host.ShowMessage("Check", EditText(302));
      if (host.BrowseFolder("Folder").outcome == kelvadrome::DialogOutcome::kOk) {
        return kelvadrome::DialogClose::kOk;
      }
      return kelvadrome::DialogClose::kStay;
    }
    return DialogModel::OnClick(id, host);
  }
};

// A helper that answers "ready" and then writes the fuzz input; sends are accepted and dropped.
class MemoryChannel : public kelvadrome::DialogChannel {
 public:
  explicit MemoryChannel(std::string_view input) {
    reader_.Feed("{\"type\":\"ready\",\"version\":1}\n");
    reader_.Feed(input);
  }
  bool Send(std::string_view) override { return true; }
  bool Receive(std::string* line, int) override {
    return reader_.NextLine(line) == kelvadrome::ProtocolLineReader::Next::kLine;
  }

 private:
  kelvadrome::ProtocolLineReader reader_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  kelvadrome::ProtocolLineReader reader;
  // Fed in two pieces, so that a line split across reads is exercised too.
  reader.Feed(input.substr(0, size / 2));
  reader.Feed(input.substr(size / 2));
  std::string line;
  while (reader.NextLine(&line) == kelvadrome::ProtocolLineReader::Next::kLine) {
    std::string reason;
    const std::optional<kelvadrome::ProtocolMessage> message =
        kelvadrome::ParseProtocolLine(line, &reason);
    if (message) {
      for (const kelvadrome::ProtocolValue& value : message->values()) {
        std::string written;
        kelvadrome::AppendJsonString(written, value.text);
      }
    }
  }
  kelvadrome::GuiHost host(
      [input]() -> std::unique_ptr<kelvadrome::DialogChannel> {
        return std::make_unique<MemoryChannel>(input);
      },
      kelvadrome::DialogLog());
  FuzzModel model;
  host.ShowModal(model);
  (void)kelvadrome::DialogStateMessage(model, 0);
  return 0;
}
