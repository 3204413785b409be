// A person played by QtTest inside the helper, for tests and screenshots: built only into
// kelvadrome-dialog-test. When KELVADROME_DIALOG_DRIVER names a file, its steps (one a line, '#'
// starts a comment) are played with real mouse clicks and key presses on the helper's widgets:
//   dialog <name>          wait for the dialog window of that name
//   type <id> <text>       click into edit <id>, select all and type <text> (may be empty)
//   expect <id> <text>     wait until edit <id> shows <text>
//   click <id>             click button <id>
//   select <row>           click row <row> of the list
//   check <id>             click check box <id> (ticks or clears it)
//   choose <path>          type <path> into the open file or folder picker and press Enter
//   cancel-picker          press Escape in the open picker
//   message-ok             wait for a message box and click its OK button
//   escape                 press Escape in the dialog window
//   viewer                 wait for the certificate viewer; close-viewer closes it
//   shot <window> <file>   grab the visible window of that object name into a PNG file
//   wait <ms>              let the event loop run
// A step that cannot be done within 15 s ends the helper with exit status 3 and the reason on
// standard error.
#pragma once

#include "helper.h"

namespace kelvadrome_dialog {

void StartTestDriver(Helper& helper);

}  // namespace kelvadrome_dialog
