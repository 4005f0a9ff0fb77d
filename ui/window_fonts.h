// The fonts of the windows' controls: bold Arial, or the nearest sans-serif
// face the system has, about 11 points on push buttons and 9 points on
// frames, labels, text boxes and lists.
#pragma once

#include <QFont>

namespace quillon {

QFont ButtonFont();
QFont BoxFont();

}  // namespace quillon
