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

#include "fuzz_dialog_model.h"

namespace {

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
  fuzzing::FuzzModel model;
  host.ShowModal(model);
  (void)kelvadrome::DialogStateMessage(model, 0);
  return 0;
}
