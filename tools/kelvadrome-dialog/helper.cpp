#include "helper.h"

#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTreeView>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <set>

namespace kelvadrome_dialog {

namespace {

constexpr int kProtocolVersion = 1;
// Longest line taken from the library; a longer one means the stream is out of step.
constexpr qsizetype kMaxLine = 16 * 1024 * 1024;

// The dialog window: closing it (the title bar, Escape) does not close it but tells the library,
// whose model decides; the window goes away when the library ends the session.
class DialogWindow final : public QDialog {
 public:
  explicit DialogWindow(std::function<void()> on_cancel) : on_cancel_(std::move(on_cancel)) {}
  void reject() override { on_cancel_(); }

 protected:
  void closeEvent(QCloseEvent* event) override {
    event->ignore();
    on_cancel_();
  }

 private:
  std::function<void()> on_cancel_;
};

// A button label as Qt shows it: '&' would mark a shortcut.
QString ButtonText(const QString& label) {
  QString text = label;
  return text.replace('&', "&&");
}

void Wipe(QByteArray& bytes) {
  if (!bytes.isEmpty()) ::explicit_bzero(bytes.data(), static_cast<size_t>(bytes.size()));
  bytes.clear();
}

// "label|pattern|label|pattern||" as Qt name filters; patterns separated by ';' in the source.
QStringList NameFilters(const QString& filter) {
  const QStringList parts = filter.split('|');
  QStringList filters;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    if (parts[i].isEmpty() && parts[i + 1].isEmpty()) break;
    QString patterns = parts[i + 1];
    patterns.replace(';', ' ');
    filters << parts[i] + " (" + patterns + ")";
  }
  return filters;
}

}  // namespace

Helper::Helper(int in_fd, int out_fd) : in_fd_(in_fd), out_fd_(out_fd) {
  notifier_ = new QSocketNotifier(in_fd_, QSocketNotifier::Read);
  QObject::connect(notifier_, &QSocketNotifier::activated, [this] { OnReadable(); });
}

Helper::~Helper() {
  delete notifier_;
  Wipe(buffer_);
}

void Helper::OnReadable() {
  char chunk[65536];
  const ssize_t got = ::read(in_fd_, chunk, sizeof chunk);
  if (got < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (got <= 0) {
    // The library ended the session (or is gone): nothing is left to show.
    ::_exit(0);
  }
  buffer_.append(chunk, got);
  ::explicit_bzero(chunk, static_cast<size_t>(got));
  for (;;) {
    const qsizetype end = buffer_.indexOf('\n');
    if (end < 0) {
      if (buffer_.size() > kMaxLine) {
        ::fputs("kelvadrome-dialog: line too long\n", stderr);
        ::_exit(2);
      }
      return;
    }
    QByteArray line = buffer_.left(end);
    ::explicit_bzero(buffer_.data(), static_cast<size_t>(end));
    buffer_.remove(0, end + 1);
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(line, &error);
    Wipe(line);
    if (!document.isObject()) {
      ::fprintf(stderr, "kelvadrome-dialog: bad message: %s\n",
                error.errorString().toLocal8Bit().constData());
      ::_exit(2);
    }
    Handle(document.object());
  }
}

void Helper::Write(QJsonObject event, bool numbered) {
  if (numbered) event.insert("seq", ++sequence_);
  QByteArray line = QJsonDocument(event).toJson(QJsonDocument::Compact);
  line.append('\n');
  qsizetype done = 0;
  while (done < line.size()) {
    const ssize_t wrote =
        ::write(out_fd_, line.constData() + done, static_cast<size_t>(line.size() - done));
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) ::_exit(0);  // the library is gone
    done += wrote;
  }
  Wipe(line);
}

QString Helper::Title(const QString& caption) const {
  QString title = caption;
  if (!program_.isEmpty()) title += QString::fromUtf8(" \u2014 ") + program_;
  if (!origin_.isEmpty()) title += " (" + origin_ + ")";
  return title;
}

void Helper::Handle(const QJsonObject& message) {
  const QString type = message.value("type").toString();
  if (type == "hello") {
    program_ = message.value("program").toString();
    origin_ = message.value("origin").toString();
    QJsonObject ready;
    ready.insert("type", "ready");
    ready.insert("version", kProtocolVersion);
    Write(ready, false);
  } else if (type == "dialog") {
    ApplyState(message);
  } else if (type == "message") {
    ShowMessage(message);
  } else if (type == "open-file") {
    ShowPicker(message, false);
  } else if (type == "browse-folder") {
    ShowPicker(message, true);
  } else if (type == "view-certificate") {
    ShowCertificate(message);
  }
  // Unknown messages are ignored, so that a newer library can add some.
}

// --- The dialog ------------------------------------------------------------------------------

void Helper::BuildWindow(const QJsonObject& state) {
  delete window_;
  edits_.clear();
  multiline_edits_.clear();
  multiline_texts_.clear();
  buttons_.clear();
  checks_.clear();
  list_ = nullptr;
  list_state_ = {};
  window_name_ = state.value("name").toString();

  auto* window = new DialogWindow([this] {
    QJsonObject event;
    event.insert("type", "cancel");
    Write(event, true);
  });
  window_ = window;
  window->setObjectName("dialog-" + window_name_);
  window->setWindowFlag(Qt::WindowStaysOnTopHint);
  window->setWindowModality(Qt::ApplicationModal);
  auto* outer = new QVBoxLayout(window);
  if (!origin_.isEmpty()) {
    auto* origin = new QLabel(QString::fromUtf8("\u26A0 ") + origin_);
    origin->setObjectName("origin");
    origin->setStyleSheet("font-weight: bold");
    outer->addWidget(origin);
  }
  auto* grid = new QGridLayout;
  outer->addLayout(grid);

  const QJsonArray statics = state.value("statics").toArray();
  const QJsonArray edits = state.value("edits").toArray();
  const QJsonArray buttons = state.value("buttons").toArray();
  const QJsonArray checks = state.value("checks").toArray();
  const QJsonValue list = state.value("list");
  std::set<int> placed_statics;
  std::set<int> placed_edits;
  std::set<int> placed_buttons;
  std::set<int> placed_checks;
  bool list_placed = false;
  int row = 0;

  const auto make_label = [&](int index) {
    auto* label = new QLabel(statics.at(index).toString());
    label->setObjectName(QString("static-%1").arg(index));
    placed_statics.insert(index);
    return label;
  };
  const auto make_edit = [&](int id, int lines) -> QWidget* {
    placed_edits.insert(id);
    if (lines > 1) {
      auto* edit = new QPlainTextEdit;
      edit->setObjectName(QString("edit-%1").arg(id));
      const int frame = 2 * edit->frameWidth() + 8;
      edit->setFixedHeight(lines * edit->fontMetrics().lineSpacing() + frame);
      edit->setMinimumWidth(260);
      QObject::connect(edit, &QPlainTextEdit::textChanged, [this, id, edit] {
        if (applying_ || edit->isReadOnly()) return;
        QJsonObject event;
        event.insert("type", "text");
        event.insert("id", id);
        event.insert("text", edit->toPlainText());
        Write(event, true);
      });
      multiline_edits_[id] = edit;
      return edit;
    }
    auto* edit = new QLineEdit;
    edit->setObjectName(QString("edit-%1").arg(id));
    edit->setMinimumWidth(320);
    QObject::connect(edit, &QLineEdit::textEdited, [this, id](const QString& text) {
      if (applying_) return;
      QJsonObject event;
      event.insert("type", "text");
      event.insert("id", id);
      event.insert("text", text);
      Write(event, true);
    });
    edits_[id] = edit;
    return edit;
  };
  const auto make_button = [&](int id) {
    auto* button = new QPushButton;
    button->setObjectName(QString("button-%1").arg(id));
    QObject::connect(button, &QPushButton::clicked, [this, id] {
      QJsonObject event;
      event.insert("type", "click");
      event.insert("id", id);
      Write(event, true);
    });
    buttons_[id] = button;
    placed_buttons.insert(id);
    return button;
  };
  const auto make_check = [&](int id) {
    auto* check = new QCheckBox;
    check->setObjectName(QString("check-%1").arg(id));
    QObject::connect(check, &QCheckBox::toggled, [this, id](bool checked) {
      if (applying_) return;
      QJsonObject event;
      event.insert("type", "check");
      event.insert("id", id);
      event.insert("checked", checked);
      Write(event, true);
    });
    checks_[id] = check;
    placed_checks.insert(id);
    return check;
  };
  const auto has_check = [&](int id) {
    for (const QJsonValue& check : checks) {
      if (check.toObject().value("id").toInt() == id) return true;
    }
    return false;
  };
  const auto make_list = [&] {
    list_ = new QTreeWidget;
    list_->setObjectName("list");
    list_->setRootIsDecorated(false);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setAllColumnsShowFocus(true);
    list_->setMinimumHeight(140);
    QObject::connect(list_, &QTreeWidget::itemSelectionChanged, [this] {
      if (applying_ || list_ == nullptr) return;
      const QList<QTreeWidgetItem*> selected = list_->selectedItems();
      if (selected.isEmpty()) return;
      QJsonObject event;
      event.insert("type", "select");
      event.insert("row", list_->indexOfTopLevelItem(selected.first()));
      Write(event, true);
    });
    list_placed = true;
    return list_;
  };
  const auto has_edit = [&](int id) {
    for (const QJsonValue& edit : edits) {
      if (edit.toObject().value("id").toInt() == id) return true;
    }
    return false;
  };

  for (const QJsonValue& value : state.value("layout").toArray()) {
    const QJsonObject item = value.toObject();
    const int label = item.value("label").toInt(-1);
    const int edit = item.value("edit").toInt(0);
    const int button = item.value("button").toInt(0);
    int column = 0;
    if (item.value("list").toBool() && list.isObject()) {
      grid->addWidget(make_list(), row++, 0, 1, 3);
      continue;
    }
    // A check box stands under the fields, its own text beside it.
    if (const int check = item.value("check").toInt(0); check != 0) {
      if (has_check(check)) grid->addWidget(make_check(check), row++, 1, 1, 2, Qt::AlignLeft);
      continue;
    }
    const bool with_edit = edit != 0 && has_edit(edit);
    if (label >= 0 && label < statics.size()) {
      if (!with_edit) {
        grid->addWidget(make_label(label), row++, 0, 1, 3);
        continue;
      }
      grid->addWidget(make_label(label), row, column++, Qt::AlignLeft | Qt::AlignTop);
    }
    if (with_edit) {
      const int span = (button != 0 ? 2 : 3) - column;
      grid->addWidget(make_edit(edit, item.value("lines").toInt(1)), row, column, 1, span);
    }
    if (button != 0) grid->addWidget(make_button(button), row, 2, Qt::AlignTop);
    ++row;
  }
  // What the layout did not place, in the model's order.
  for (qsizetype i = 0; i < statics.size(); ++i) {
    if (placed_statics.count(static_cast<int>(i)) == 0) {
      grid->addWidget(make_label(static_cast<int>(i)), row++, 0, 1, 3);
    }
  }
  for (const QJsonValue& value : edits) {
    const int id = value.toObject().value("id").toInt();
    if (placed_edits.count(id) == 0) grid->addWidget(make_edit(id, 1), row++, 0, 1, 3);
  }
  if (!list_placed && list.isObject()) grid->addWidget(make_list(), row++, 0, 1, 3);
  for (const QJsonValue& value : checks) {
    const int id = value.toObject().value("id").toInt();
    if (placed_checks.count(id) == 0) {
      grid->addWidget(make_check(id), row++, 0, 1, 3, Qt::AlignLeft);
    }
  }
  grid->setColumnStretch(1, 1);

  auto* button_row = new QHBoxLayout;
  button_row->addStretch(1);
  for (const QJsonValue& value : buttons) {
    const int id = value.toObject().value("id").toInt();
    if (placed_buttons.count(id) == 0) button_row->addWidget(make_button(id));
  }
  outer->addLayout(button_row);
}

void Helper::ApplyState(const QJsonObject& state) {
  const bool fresh = window_ == nullptr || state.value("name").toString() != window_name_;
  applying_ = true;
  if (fresh) BuildWindow(state);
  window_->setWindowTitle(Title(state.value("caption").toString()));
  // Texts are taken only when every event written has been answered: a state that answers an
  // earlier event would otherwise undo what the person typed since.
  const bool in_step = state.value("ack").toInteger() >= sequence_;

  for (const QJsonValue& value : state.value("edits").toArray()) {
    const QJsonObject edit = value.toObject();
    const int id = edit.value("id").toInt();
    const QString text = edit.value("text").toString();
    const bool enabled = edit.value("enabled").toBool(true);
    const bool read_only = edit.value("read_only").toBool(false);
    if (auto found = edits_.find(id); found != edits_.end()) {
      QLineEdit* line = found->second;
      line->setEchoMode(edit.value("password").toBool() ? QLineEdit::Password : QLineEdit::Normal);
      line->setEnabled(enabled);
      line->setReadOnly(read_only);
      if ((in_step || fresh) && line->text() != text) {
        const int cursor = line->cursorPosition();
        line->setText(text);
        line->setCursorPosition(std::min<int>(cursor, static_cast<int>(text.size())));
        // A text the person cannot change is shown whole, up to a sensible width.
        if (read_only && !line->isModified()) {
          const int wanted = line->fontMetrics().horizontalAdvance(text) + 24;
          line->setMinimumWidth(std::clamp(wanted, 320, 640));
        }
      }
    } else if (auto multi = multiline_edits_.find(id); multi != multiline_edits_.end()) {
      QPlainTextEdit* area = multi->second;
      area->setEnabled(enabled);
      area->setReadOnly(read_only);
      if ((in_step || fresh) && multiline_texts_[id] != text) {
        area->setPlainText(text);
        multiline_texts_[id] = text;
      }
    }
  }
  for (const QJsonValue& value : state.value("buttons").toArray()) {
    const QJsonObject button = value.toObject();
    auto found = buttons_.find(button.value("id").toInt());
    if (found == buttons_.end()) continue;
    found->second->setText(ButtonText(button.value("label").toString()));
    found->second->setEnabled(button.value("enabled").toBool(true));
    const bool is_default = button.value("default").toBool(false);
    found->second->setDefault(is_default);
    found->second->setAutoDefault(is_default);
  }
  for (const QJsonValue& value : state.value("checks").toArray()) {
    const QJsonObject check = value.toObject();
    auto found = checks_.find(check.value("id").toInt());
    if (found == checks_.end()) continue;
    found->second->setText(ButtonText(check.value("label").toString()));
    found->second->setEnabled(check.value("enabled").toBool(true));
    found->second->setChecked(check.value("checked").toBool(false));
  }
  const QJsonValue list = state.value("list");
  if (list_ != nullptr && list.isObject()) {
    const QJsonObject shown = list.toObject();
    if (shown.value("columns") != list_state_.value("columns") ||
        shown.value("rows") != list_state_.value("rows")) {
      const QJsonArray columns = shown.value("columns").toArray();
      QStringList headers;
      for (const QJsonValue& column : columns) headers << column.toString();
      list_->clear();
      list_->setColumnCount(static_cast<int>(headers.size()));
      list_->setHeaderLabels(headers);
      const QJsonArray widths = shown.value("widths").toArray();
      int total = 0;
      for (qsizetype i = 0; i < widths.size(); ++i) {
        list_->setColumnWidth(static_cast<int>(i), widths.at(i).toInt());
        total += widths.at(i).toInt();
      }
      if (total > 0) list_->setMinimumWidth(std::min(total + 2 * list_->frameWidth() + 4, 1000));
      for (const QJsonValue& row : shown.value("rows").toArray()) {
        QStringList texts;
        for (const QJsonValue& text : row.toArray()) texts << text.toString();
        list_->addTopLevelItem(new QTreeWidgetItem(texts));
      }
    }
    const int selected = shown.value("selected").toInt(-1);
    QTreeWidgetItem* item = list_->topLevelItem(selected);
    if (item != nullptr && !item->isSelected()) {
      list_->setCurrentItem(item);
    } else if (item == nullptr) {
      list_->clearSelection();
    }
    list_state_ = shown;
  }
  applying_ = false;

  if (fresh) {
    // Wide enough for its title, where a window manager shows it.
    const int title_width = window_->fontMetrics().horizontalAdvance(window_->windowTitle()) + 120;
    window_->setMinimumWidth(std::min(title_width, 900));
    window_->adjustSize();
    window_->show();
    window_->raise();
    window_->activateWindow();
    // Focus goes to the first control that takes typing.
    for (const QJsonValue& value : state.value("edits").toArray()) {
      auto found = edits_.find(value.toObject().value("id").toInt());
      if (found != edits_.end() && found->second->isEnabled() && !found->second->isReadOnly()) {
        found->second->setFocus();
        break;
      }
    }
  }
}

// --- Message boxes, pickers, the viewer --------------------------------------------------------

void Helper::ShowMessage(const QJsonObject& message) {
  auto* box = new QMessageBox(QMessageBox::Information, Title(message.value("caption").toString()),
                              message.value("text").toString(), QMessageBox::Ok, window_);
  box->setObjectName("message");
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(window_ ? Qt::WindowModal : Qt::ApplicationModal);
  box->setWindowFlag(Qt::WindowStaysOnTopHint);
  QObject::connect(box, &QMessageBox::finished, [this] {
    QJsonObject event;
    event.insert("type", "acknowledged");
    Write(event, false);
  });
  box->open();
  box->raise();
  box->activateWindow();
}

void Helper::ShowPicker(const QJsonObject& message, bool folder) {
  auto* picker = new QFileDialog(window_, Title(message.value("title").toString()));
  picker->setObjectName(folder ? "browse-folder" : "open-file");
  picker->setAttribute(Qt::WA_DeleteOnClose);
  // Qt's own dialog everywhere: the same widgets on every desktop and under test.
  picker->setOption(QFileDialog::DontUseNativeDialog);
  picker->setWindowModality(window_ ? Qt::WindowModal : Qt::ApplicationModal);
  picker->resize(760, 480);
  // The detail view's last column (the date) takes the width left, so that it is not cut.
  if (auto* details = picker->findChild<QTreeView*>("treeView")) {
    details->header()->setStretchLastSection(true);
    details->header()->resizeSection(0, 260);
    details->header()->resizeSection(2, 150);
  }
  if (folder) {
    picker->setFileMode(QFileDialog::Directory);
    picker->setOption(QFileDialog::ShowDirsOnly);
  } else {
    picker->setFileMode(QFileDialog::ExistingFile);
    const QStringList filters = NameFilters(message.value("filter").toString());
    if (!filters.isEmpty()) picker->setNameFilters(filters);
    picker->setOption(QFileDialog::HideNameFilterDetails);
    // A name ending in '/' names the start folder; otherwise its folder part does, and its name
    // part is proposed unless it is a pattern.
    const QString initial = message.value("initial_name").toString();
    if (!initial.isEmpty()) {
      const qsizetype slash = initial.lastIndexOf('/');
      if (slash >= 0) picker->setDirectory(initial.left(slash + 1));
      const QString name = initial.mid(slash + 1);
      if (!name.isEmpty() && !name.contains('*') && !name.contains('?')) picker->selectFile(name);
    }
  }
  QObject::connect(picker, &QFileDialog::finished, [this, picker](int result) {
    QJsonObject event;
    event.insert("type", "picked");
    const QStringList chosen = picker->selectedFiles();
    const bool ok = result == QDialog::Accepted && !chosen.isEmpty();
    event.insert("ok", ok);
    if (ok) event.insert("path", chosen.first());
    Write(event, false);
  });
  picker->open();
  picker->raise();
  picker->activateWindow();
}

void Helper::ShowCertificate(const QJsonObject& message) {
  auto* viewer = new QDialog(window_);
  viewer->setObjectName("certificate");
  viewer->setAttribute(Qt::WA_DeleteOnClose);
  viewer->setWindowTitle(Title(message.value("title").toString()));
  auto* outer = new QVBoxLayout(viewer);
  auto* form = new QFormLayout;
  form->setFieldGrowthPolicy(QFormLayout::ExpandingFieldsGrow);
  for (const QJsonValue& value : message.value("fields").toArray()) {
    const QJsonArray field = value.toArray();
    auto* text = new QLabel(field.at(1).toString());
    text->setTextInteractionFlags(Qt::TextSelectableByMouse);
    text->setWordWrap(true);
    text->setMinimumWidth(360);
    form->addRow(field.at(0).toString() + ":", text);
  }
  outer->addLayout(form);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close);
  QObject::connect(buttons, &QDialogButtonBox::rejected, viewer, &QDialog::close);
  outer->addWidget(buttons);
  viewer->show();
  viewer->raise();
  viewer->activateWindow();
}

}  // namespace kelvadrome_dialog
