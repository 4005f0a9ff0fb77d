// A one-line label that never asks for more width than its window gives it:
// a text too long for its width is elided in the middle ("3 tables, ... —
// log: /tmp/…/backups.log"), and the whole text is its tooltip. The main
// window's status row uses it, so that a long status never widens the window
// and moves the buttons under the user's pointer.
#pragma once

#include <QLabel>
#include <QString>

namespace quillon {

class ElidedLabel : public QLabel {
 public:
  ElidedLabel() = default;

  // Shows `text`, elided to the label's width, with the whole of it as the
  // tooltip.
  void SetFullText(const QString& text);
  const QString& full_text() const { return full_; }

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void Elide();

  QString full_;
};

}  // namespace quillon
