// Steps that every window runs when it loads: the colour step and the
// application icon.
#pragma once

#include <QColor>
#include <QIcon>

class QLineEdit;
class QWidget;

namespace quillon {

// The system colour of button faces, which the colour step paints with.
QColor ButtonFaceColour();

// The colour step: gives `window` and every option button, check box, frame
// (group box or plain frame) and label inside it the button-face colour as
// their background. Push buttons, text boxes and lists keep theirs.
void ResetBackColors(QWidget& window);

// The application icon, drawn for Quillon and compiled into the program.
QIcon ApplicationIcon();

// Makes a text box that holds a path select its whole text whenever it
// receives the focus, by keyboard or by a click, so that typing replaces it.
void SelectAllOnFocus(QLineEdit& box);

}  // namespace quillon
