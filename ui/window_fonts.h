// The fonts of the windows' controls: bold Arial, or the nearest sans-serif
// face the system has, about 11 points on push buttons and 9 points on
// frames, labels, text boxes and lists.
#pragma once

#include <QFont>

class QPushButton;

namespace quillon {

QFont ButtonFont();
QFont BoxFont();

// A push button with its control name and caption, in the button font. It is
// never the default button: Enter in a text box presses nothing.
QPushButton* MakeButton(const char* name, const char* caption);

}  // namespace quillon
