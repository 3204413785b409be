// kelvadrome-dialog: started by the library's gui host with its standard input and output on a
// socket to the library. See helper.h and docs/dialog-protocol.md.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include <cstdio>

#include "helper.h"

#ifdef KELVADROME_DIALOG_TEST_DRIVER
#include "test_driver.h"
#endif

namespace {

// MoveOff gives the protocol its own close-on-exec descriptor and puts /dev/null where |fd| was,
// so that nothing the toolkit starts inherits the connection to the library or writes into it.
int MoveOff(int fd) {
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (moved < 0) return -1;
  const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null >= 0) {
    ::dup2(null, fd);
    ::close(null);
  }
  return moved;
}

}  // namespace

int main(int argc, char** argv) {
  // A library that went away is noticed by the failing write, not by a signal.
  ::signal(SIGPIPE, SIG_IGN);
  const int in_fd = MoveOff(STDIN_FILENO);
  const int out_fd = MoveOff(STDOUT_FILENO);
  if (in_fd < 0 || out_fd < 0) {
    std::perror("kelvadrome-dialog");
    return 2;
  }
  QApplication application(argc, argv);
  QApplication::setApplicationName("kelvadrome-dialog");
  // The windows come and go with the library's requests, not with the last window closed.
  QApplication::setQuitOnLastWindowClosed(false);
  // The dialogs' own texts arrive in the user's language; the toolkit's file dialogs and buttons
  // follow: Qt's Chinese catalogue under a Chinese locale, its built-in English otherwise.
  QTranslator toolkit_texts;
  if (QLocale::system().language() == QLocale::Chinese &&
      toolkit_texts.load(QLocale::system(), "qtbase", "_",
                         QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    QApplication::installTranslator(&toolkit_texts);
  }
  kelvadrome_dialog::Helper helper(in_fd, out_fd);
#ifdef KELVADROME_DIALOG_TEST_DRIVER
  kelvadrome_dialog::StartTestDriver(helper);
#endif
  return QApplication::exec();
}
