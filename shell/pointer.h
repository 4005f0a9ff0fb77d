// Window pointers: the custom (hand) pointer over push buttons, the default
// pointer elsewhere, and the busy pointer that neither replaces.
//
// A window's pointer is its QWidget cursor; controls without a cursor of their
// own show their window's. The custom pointer's picture comes from the cursor
// file HAND-M.CUR beside the program when there is one (the pointer picture
// step); without it the custom pointer is the system's pointing hand.
#pragma once

#include <QCursor>
#include <QImage>
#include <QObject>
#include <QPoint>
#include <string>
#include <vector>

class QWidget;

namespace quillon {

// One picture of a Windows cursor file: the image with its transparency and
// the hot spot, the pixel that points.
struct CursorPicture {
  QImage image;
  QPoint hot_spot;
};

// Reads the first picture of a Windows cursor file (.cur): a device-
// independent bitmap of 1, 4, 8, 24 or 32 bits per pixel with its AND mask, or
// an embedded PNG image. Throws quillon::Error naming the file when it
// cannot be read or is not a cursor file.
CursorPicture ReadCursorFile(const std::string& path);

// Whether `window`'s pointer is the busy pointer (hourglass).
bool IsBusyPointer(const QWidget& window);
// Sets `window`'s pointer to the busy pointer, or back to the default one.
void SetBusyPointer(QWidget& window, bool busy);

// The pointer rule of one window. While the mouse moves onto or over one of
// the window's push buttons the window's pointer becomes the custom pointer;
// while it moves over anything else in the window (the background, labels,
// frames, text boxes, lists) it becomes the default pointer. Neither change is
// made while the window shows the busy pointer.
//
// The rule is a child of the window and lives as long as it. Install it once
// the window's controls exist: it watches the controls that are there then.
class PointerRule : public QObject {
  Q_OBJECT

 public:
  explicit PointerRule(QWidget& window);

  // The custom pointer: the picture loaded by the pointer picture step, or
  // the system's pointing hand when none was loaded.
  const QCursor& custom_pointer() const { return custom_; }
  bool has_picture() const { return has_picture_; }
  void SetPicture(const CursorPicture& picture);

  // The pointer picture step: when the cursor file `pointer_file` exists
  // (FileExists), load it as the custom pointer's picture; otherwise leave the
  // pointing hand and say nothing. Throws when the file exists but cannot be
  // read as a cursor.
  void LoadPicture(const std::string& pointer_file);

  // Moves over `control` (and what it holds, push buttons apart) leave the
  // window's pointer as it is.
  void LeaveUnchangedOver(const QWidget& control) { unchanged_over_.push_back(&control); }

  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // Applies the rule for the mouse standing over `under` (nullptr: the
  // window's background).
  void PointAt(const QWidget* under);

  QWidget& window_;
  QCursor custom_{Qt::PointingHandCursor};
  bool has_picture_ = false;
  std::vector<const QWidget*> unchanged_over_;
};

// Whether `widget` is a push button in the sense of the pointer rule: any
// button that is not a check box or an option button.
bool IsPushButton(const QWidget& widget);

}  // namespace quillon
