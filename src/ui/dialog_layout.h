// How a dialog's controls go together for a person: rows of a label (a static text by index), the
// edit it names and a button beside that edit (Browse), a multi-line text area, a check box, or
// the list. The
// models keep no geometry; hosts that show a dialog to a person (the graphical helper, the
// terminal) arrange it by these rows, so that a label stays with its field in every host.
#pragma once

#include <vector>

#include "ui/dialog_model.h"

namespace kelvadrome {

struct LayoutRow {
  int label = -1;  // index into the model's statics; -1: none
  int edit = 0;    // edit id; 0: none
  int button = 0;  // button id beside the edit; 0: none
  int lines = 1;   // more than one: a multi-line text area of that height
  int check = 0;   // check box id (the box carries its own label); 0: none
  bool list = false;
  bool translated = false;  // the edit shows one of the component's texts, not data
};

// LayoutFor returns the rows of |model| (known by its name); empty for a dialog without a layout
// of its own, whose statics, edits and buttons a host shows in their order. Controls no row names
// come after the rows in their own order.
std::vector<LayoutRow> LayoutFor(const DialogModel& model);

}  // namespace kelvadrome
