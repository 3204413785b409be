// kelvadrome-dialog: the graphical dialog helper. It reads the gui host's messages as JSON lines
// on one descriptor, shows the windows they describe (a dialog's state, message boxes, file and
// folder pickers, the certificate viewer) and writes what the person does as JSON lines on
// another. docs/dialog-protocol.md describes every message. The helper decides nothing: limits,
// enable rules and what a button does stay with the library's dialog model, which answers every
// event with the dialog's new state.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <map>

#include <QDialog>
class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QSocketNotifier;
class QTreeWidget;
class QWidget;

namespace kelvadrome_dialog {

// Object names the windows and controls carry, so that tests can find them:
//   "dialog-<name>" the dialog window, "edit-<id>", "button-<id>", "check-<id>", "list" inside it;
//   "message" a message box, "open-file" / "browse-folder" a picker, "certificate" the viewer.

class Helper {
 public:
  // Reads messages from |in_fd| and writes events to |out_fd|.
  Helper(int in_fd, int out_fd);
  ~Helper();
  Helper(const Helper&) = delete;
  Helper& operator=(const Helper&) = delete;

  // The dialog window, or null before the first state.
  QDialog* dialog() const { return window_; }

 private:
  void OnReadable();
  void Handle(const QJsonObject& message);
  // Write sends |event| as one line; dialog events get the next sequence number.
  void Write(QJsonObject event, bool numbered);
  QString Title(const QString& caption) const;

  void ApplyState(const QJsonObject& state);
  void BuildWindow(const QJsonObject& state);
  void ShowMessage(const QJsonObject& message);
  void ShowPicker(const QJsonObject& message, bool folder);
  void ShowCertificate(const QJsonObject& message);

  int in_fd_;
  int out_fd_;
  QSocketNotifier* notifier_ = nullptr;
  QByteArray buffer_;
  QString program_;
  QString origin_;
  qint64 sequence_ = 0;    // the last event number written
  bool applying_ = false;  // the window is being updated from a state: no events

  QPointer<QDialog> window_;
  QString window_name_;
  std::map<int, QLineEdit*> edits_;
  std::map<int, QPlainTextEdit*> multiline_edits_;
  std::map<int, QPushButton*> buttons_;
  std::map<int, QCheckBox*> checks_;
  std::map<int, QString> multiline_texts_;
  QTreeWidget* list_ = nullptr;
  QJsonObject list_state_;  // the list as last shown
};

}  // namespace kelvadrome_dialog
