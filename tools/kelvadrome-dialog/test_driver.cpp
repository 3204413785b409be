#include "test_driver.h"

#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QFile>
#include <QFileDialog>
#include <QFontMetrics>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <cstdio>

namespace kelvadrome_dialog {

namespace {

constexpr int kStepMilliseconds = 15000;

[[noreturn]] void Fail(const QString& step, const QString& why) {
  std::fprintf(stderr, "driver: %s: %s\n", step.toUtf8().constData(), why.toUtf8().constData());
  std::fflush(stderr);
  ::_exit(3);
}

QWidget* VisibleWindow(const QString& name) {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (widget->isVisible() && widget->objectName() == name) return widget;
  }
  return nullptr;
}

QWidget* WaitForWindow(const QString& step, const QString& name) {
  QWidget* found = nullptr;
  if (!QTest::qWaitFor([&] { return (found = VisibleWindow(name)) != nullptr; },
                       kStepMilliseconds)) {
    Fail(step, "no visible window " + name);
  }
  QTest::qWait(50);
  return found;
}

template <typename T>
T* WaitForChild(const QString& step, QWidget* window, const QString& name) {
  T* found = nullptr;
  if (!QTest::qWaitFor([&] { return (found = window->findChild<T*>(name)) != nullptr; },
                       kStepMilliseconds)) {
    Fail(step, "no control " + name);
  }
  return found;
}

// The visible picker, whichever kind.
QFileDialog* WaitForPicker(const QString& step) {
  QWidget* found = nullptr;
  if (!QTest::qWaitFor(
          [&] {
            found = VisibleWindow("open-file");
            if (found == nullptr) found = VisibleWindow("browse-folder");
            return found != nullptr;
          },
          kStepMilliseconds)) {
    Fail(step, "no picker is open");
  }
  QTest::qWait(100);
  return qobject_cast<QFileDialog*>(found);
}

// The window's content under a plain title bar with its title: Xvfb runs no window manager, so
// the title (caption, calling program, origin) would otherwise not show.
QImage Screenshot(QWidget* window) {
  const QPixmap content = window->grab();
  const int bar = QFontMetrics(window->font()).height() + 12;
  QImage image(content.width(), content.height() + bar, QImage::Format_RGB32);
  image.fill(QColor(0x3c, 0x3f, 0x44));
  QPainter painter(&image);
  painter.setPen(Qt::white);
  painter.setFont(window->font());
  const QFontMetrics metrics(window->font());
  painter.drawText(QRect(10, 0, content.width() - 20, bar), Qt::AlignVCenter | Qt::AlignLeft,
                   metrics.elidedText(window->windowTitle(), Qt::ElideRight, content.width() - 20));
  painter.drawPixmap(0, bar, content);
  return image;
}

void Play(Helper& helper, const QString& step) {
  const QString verb = step.section(' ', 0, 0);
  const QString rest = step.section(' ', 1);
  QWidget* dialog = helper.dialog();
  const auto need_dialog = [&] {
    if (dialog == nullptr || !dialog->isVisible()) Fail(step, "no dialog is shown");
  };
  if (verb == "dialog") {
    WaitForWindow(step, "dialog-" + rest);
  } else if (verb == "type") {
    need_dialog();
    auto* edit = WaitForChild<QLineEdit>(step, dialog, "edit-" + rest.section(' ', 0, 0));
    QTest::mouseClick(edit, Qt::LeftButton);
    QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
    const QString text = rest.section(' ', 1);
    if (text.isEmpty()) {
      QTest::keyClick(edit, Qt::Key_Backspace);
    } else {
      QTest::keyClicks(edit, text);
    }
    QTest::qWait(50);
  } else if (verb == "expect") {
    need_dialog();
    auto* edit = WaitForChild<QLineEdit>(step, dialog, "edit-" + rest.section(' ', 0, 0));
    const QString wanted = rest.section(' ', 1);
    if (!QTest::qWaitFor([&] { return edit->text() == wanted; }, kStepMilliseconds)) {
      Fail(step, "the edit shows \"" + edit->text() + "\"");
    }
  } else if (verb == "click") {
    need_dialog();
    auto* button = WaitForChild<QPushButton>(step, dialog, "button-" + rest);
    QTest::mouseClick(button, Qt::LeftButton);
  } else if (verb == "check") {
    need_dialog();
    auto* check = WaitForChild<QCheckBox>(step, dialog, "check-" + rest);
    QTest::mouseClick(check, Qt::LeftButton);
  } else if (verb == "select") {
    need_dialog();
    auto* list = WaitForChild<QTreeWidget>(step, dialog, "list");
    QTreeWidgetItem* item = list->topLevelItem(rest.toInt());
    if (item == nullptr) Fail(step, "no such row");
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(item).center());
  } else if (verb == "choose") {
    QFileDialog* picker = WaitForPicker(step);
    auto* name = WaitForChild<QLineEdit>(step, picker, "fileNameEdit");
    QTest::keyClick(name, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(name, rest);
    QTest::qWait(100);
    QTest::keyClick(name, Qt::Key_Return);
  } else if (verb == "cancel-picker") {
    QTest::keyClick(WaitForPicker(step), Qt::Key_Escape);
  } else if (verb == "message-ok") {
    auto* box = qobject_cast<QMessageBox*>(WaitForWindow(step, "message"));
    if (box == nullptr || box->button(QMessageBox::Ok) == nullptr) Fail(step, "no OK button");
    QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
  } else if (verb == "escape") {
    need_dialog();
    QTest::keyClick(dialog, Qt::Key_Escape);
  } else if (verb == "viewer") {
    WaitForWindow(step, "certificate");
  } else if (verb == "close-viewer") {
    WaitForWindow(step, "certificate")->close();
  } else if (verb == "shot") {
    QWidget* window = WaitForWindow(step, rest.section(' ', 0, 0));
    QTest::qWait(400);  // let layout and painting settle
    if (!Screenshot(window).save(rest.section(' ', 1), "PNG")) Fail(step, "cannot save");
  } else if (verb == "wait") {
    QTest::qWait(rest.toInt());
  } else {
    Fail(step, "unknown step");
  }
}

}  // namespace

void StartTestDriver(Helper& helper) {
  const QByteArray path = qgetenv("KELVADROME_DIALOG_DRIVER");
  if (path.isEmpty()) return;
  QTimer::singleShot(0, [&helper, path] {
    QFile file(QString::fromLocal8Bit(path));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
      Fail("open", QString::fromLocal8Bit(path));
    }
    const QStringList steps = QString::fromUtf8(file.readAll()).split('\n');
    for (const QString& line : steps) {
      const QString step = line.trimmed();
      if (step.isEmpty() || step.startsWith('#')) continue;
      Play(helper, step);
    }
  });
}

}  // namespace kelvadrome_dialog
