// DialogModel: one modal dialog described without any widget toolkit. A model holds the dialog's
// controls (edit controls, buttons, check boxes, at most one list) and its behaviour (what happens
// on initialisation, when a text changes, when a row is selected, when a box is ticked, when a
// button is pressed). A
// DialogHost shows the model to a user and feeds the user's input back through the "person-like"
// input functions below, which enforce the rules every dialog shares: a length limit cuts typed
// text, a disabled or read-only control ignores input, a disabled button does nothing.
//
// Concrete dialogs derive from DialogModel, declare their controls in the constructor and override
// the hooks. A model is used by one thread at a time; the host that shows it is passed to the hooks
// that may need it (message boxes, nested file and folder pickers, the file viewer).
//
// Texts are narrow strings in the process code page and pass through unchanged. Texts of password
// edits are wiped when they are replaced and when the model is destroyed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvadrome {

class DialogHost;

// The standard button ids: OK closes the dialog with ok, Cancel with cancel, unless the dialog
// overrides OnClick.
inline constexpr int kDialogIdOk = 1;
inline constexpr int kDialogIdCancel = 2;

struct DialogEdit {
  int id = 0;
  std::string text{};
  size_t limit = 0;  // most characters a person may type; 0: no limit
  bool enabled = true;
  bool read_only = false;  // shown, but typing is ignored
  bool password = false;   // text is never shown or logged
};

struct DialogButton {
  int id = 0;
  std::string label{};
  bool enabled = true;
};

// A check box: a label and a state the person flips; it never closes the dialog.
struct DialogCheck {
  int id = 0;
  std::string label{};
  bool checked = false;
  bool enabled = true;
};

struct DialogList {
  int id = 0;
  std::vector<std::string> columns{};            // column titles
  std::vector<std::vector<std::string>> rows{};  // each row: one text per column
  int selected = -1;                             // -1: no row selected
};

// What a button press does to the dialog.
enum class DialogClose { kStay, kOk, kCancel };

// How a person-like input was taken.
enum class DialogInput {
  kApplied,        // the input changed (or re-set) the control
  kNoSuchControl,  // no control of that id and kind
  kDisabled,       // the control is disabled (or read-only): the input is ignored
  kOutOfRange,     // a row index that does not exist
};

// DialogInputName returns a short English word for |input|, for logs and terminal messages.
const char* DialogInputName(DialogInput input);

class DialogModel {
 public:
  // |name| identifies the dialog in scripts and logs ("201".."207", "key-use", ...).
  DialogModel(std::string name, std::string caption);
  virtual ~DialogModel();
  DialogModel(const DialogModel&) = delete;
  DialogModel& operator=(const DialogModel&) = delete;

  const std::string& name() const { return name_; }
  const std::string& caption() const { return caption_; }
  const std::vector<DialogEdit>& edits() const { return edits_; }
  const std::vector<DialogButton>& buttons() const { return buttons_; }
  const std::vector<DialogCheck>& checks() const { return checks_; }
  // statics returns the dialog's static texts (labels, group titles) in layout order; a text of
  // two lines holds a '\n'.
  const std::vector<std::string>& statics() const { return statics_; }
  // list returns the list control, or null when the dialog has none.
  const DialogList* list() const { return list_ ? &*list_ : nullptr; }

  // FindEdit / FindButton return the control with |id|, or null when there is none.
  const DialogEdit* FindEdit(int id) const;
  const DialogButton* FindButton(int id) const;
  const DialogCheck* FindCheck(int id) const;
  // IsChecked tells whether check box |id| is ticked; false when there is no such box.
  bool IsChecked(int id) const;
  // EditText returns the text of edit |id|; "" when there is no such edit.
  const std::string& EditText(int id) const;
  // SelectedRow returns the selected row of the list, or -1 (no list, or no selection).
  int SelectedRow() const { return list_ ? list_->selected : -1; }

  // --- Used by hosts ---------------------------------------------------------------------------

  // Initialize runs the dialog's initialisation (OnInit) with the host that shows it. Hosts call it
  // once each time they show the model, before displaying anything.
  void Initialize(DialogHost& host);

  // Type replaces the text of edit |id| as a person typing would: the text is cut to the edit's
  // limit (whole characters), and a disabled or read-only edit ignores it. An applied change runs
  // OnTextChanged.
  DialogInput Type(int id, std::string_view text);

  // Select selects |row| of the list (0-based) as a person clicking it would; runs OnRowSelected.
  // kNoSuchControl when the dialog has no list, kOutOfRange for a row that does not exist.
  DialogInput Select(int row);

  // SetChecked ticks (or clears) check box |id| as a person clicking it would; a disabled box
  // ignores it. An applied change runs OnCheckChanged.
  DialogInput SetChecked(int id, bool checked);

  // Click presses button |id|. A missing or disabled button does nothing and gives kStay with the
  // matching input status. Otherwise OnClick decides; a click that closes with cancel also runs
  // OnCancel, so a dialog's cancel handling does not depend on how it was cancelled.
  struct ClickResult {
    DialogInput input = DialogInput::kApplied;
    DialogClose close = DialogClose::kStay;
  };
  ClickResult Click(int id, DialogHost& host);

  // Cancel closes the dialog with cancel without a button (the user dismissed it, the terminal
  // closed, the script ran out): runs OnCancel.
  void Cancel();

 protected:
  // --- Hooks for concrete dialogs --------------------------------------------------------------
  virtual void OnInit(DialogHost& host);
  // Runs after the text of edit |id| changed, by a person or by SetEditText.
  virtual void OnTextChanged(int id);
  virtual void OnRowSelected(int row);
  // Runs after check box |id| was ticked or cleared by a person.
  virtual void OnCheckChanged(int id);
  // Decides what pressing an enabled button does. The default closes with ok for kDialogIdOk,
  // with cancel for kDialogIdCancel, and stays open for any other button.
  virtual DialogClose OnClick(int id, DialogHost& host);
  // Runs whenever the dialog closes with cancel (button, host or user). Default: nothing.
  virtual void OnCancel();

  // --- Building and changing controls (program side: no limit cut, no enable check) ------------
  void set_caption(std::string caption) { caption_ = std::move(caption); }
  // AddEdit / AddButton append a control; an existing control of the same id is replaced.
  void AddEdit(DialogEdit edit);
  void AddButton(DialogButton button);
  void AddCheck(DialogCheck check);
  // AddStatic appends a static text.
  void AddStatic(std::string text) { statics_.push_back(std::move(text)); }
  // SetList creates (or replaces) the list control with its columns and no rows.
  void SetList(int id, std::vector<std::string> columns);
  // AddRow appends a row; missing column texts are added empty, extra ones are dropped.
  void AddRow(std::vector<std::string> texts);
  // SetSelectedRow selects |row| (-1: none) without running OnRowSelected; false when out of range.
  bool SetSelectedRow(int row);
  // SetEditText sets the text of edit |id| whatever its state and limit, then runs OnTextChanged.
  // Returns false when there is no such edit.
  bool SetEditText(int id, std::string text);
  // SetEditLimit sets the typing limit of edit |id| (0: none); the current text is kept.
  bool SetEditLimit(int id, size_t limit);
  // EnableControl enables or disables the edit, button or check box |id|; false when there is
  // none.
  bool EnableControl(int id, bool enabled);
  bool SetButtonLabel(int id, std::string label);

 private:
  DialogEdit* MutableEdit(int id);
  DialogButton* MutableButton(int id);
  DialogCheck* MutableCheck(int id);

  std::string name_;
  std::string caption_;
  std::vector<DialogEdit> edits_;
  std::vector<DialogButton> buttons_;
  std::vector<DialogCheck> checks_;
  std::vector<std::string> statics_;
  std::optional<DialogList> list_;
};

// CountCharacters returns the number of characters of |text| in the process code page. For UTF-8
// (the usual case) a lead byte and the continuation bytes it announces count one, and any byte that
// fits no character (a stray continuation byte, an invalid lead byte) counts one on its own; other
// code pages count through a conversion to UTF-16 (a surrogate pair counts one).
size_t CountCharacters(std::string_view text);

// CutToCharacters returns the first |limit| characters of |text| (counted as above), never
// splitting a multi-byte character. |text| itself when it is not longer.
std::string CutToCharacters(std::string_view text, size_t limit);

}  // namespace kelvadrome
