#include "shell/window_helpers.h"

#include <QApplication>
#include <QCheckBox>
#include <QEvent>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QRadioButton>
#include <QTimer>
#include <QWidget>

// The resource file is compiled into a static library, whose initialiser the
// linker would drop; it is registered by hand on first use.
static void InitIconResource() { Q_INIT_RESOURCE(quillon); }

namespace quillon {
namespace {

bool TakesButtonFace(const QWidget& control) {
  // A plain QFrame is the frame of a group of controls; QLabel is a QFrame too.
  return qobject_cast<const QRadioButton*>(&control) != nullptr ||
         qobject_cast<const QCheckBox*>(&control) != nullptr ||
         qobject_cast<const QGroupBox*>(&control) != nullptr ||
         qobject_cast<const QLabel*>(&control) != nullptr ||
         control.metaObject() == &QFrame::staticMetaObject;
}

class SelectAllFilter : public QObject {
 public:
  explicit SelectAllFilter(QLineEdit& box) : QObject(&box), box_(box) {}

  bool eventFilter(QObject*, QEvent* event) override {
    // A click that gives the focus places the cursor after the focus event;
    // the selection is made once that is done.
    if (event->type() == QEvent::FocusIn) QTimer::singleShot(0, &box_, [box = &box_] { box->selectAll(); });
    return false;
  }

 private:
  QLineEdit& box_;
};

void PaintBackground(QWidget& widget, const QColor& colour) {
  QPalette palette = widget.palette();
  palette.setColor(QPalette::Window, colour);
  widget.setPalette(palette);
  widget.setAutoFillBackground(true);
}

}  // namespace

QColor ButtonFaceColour() { return QApplication::palette().color(QPalette::Active, QPalette::Button); }

void ResetBackColors(QWidget& window) {
  const QColor face = ButtonFaceColour();
  PaintBackground(window, face);
  for (QWidget* control : window.findChildren<QWidget*>()) {
    if (TakesButtonFace(*control)) PaintBackground(*control, face);
  }
}

QIcon ApplicationIcon() {
  static const bool registered = (InitIconResource(), true);
  (void)registered;
  QIcon icon;
  for (int size : {16, 32, 48, 256})
    icon.addFile(QString(":/quillon/quillon-%1.png").arg(size), QSize(size, size));
  return icon;
}

void SelectAllOnFocus(QLineEdit& box) { box.installEventFilter(new SelectAllFilter(box)); }

}  // namespace quillon
