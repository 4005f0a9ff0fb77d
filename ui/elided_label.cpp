#include "ui/elided_label.h"

#include <QFontMetrics>
#include <QResizeEvent>

namespace quillon {

void ElidedLabel::SetFullText(const QString& text) {
  full_ = text;
  setToolTip(text);
  Elide();
}

QSize ElidedLabel::sizeHint() const { return {0, QLabel::sizeHint().height()}; }

QSize ElidedLabel::minimumSizeHint() const { return {0, QLabel::minimumSizeHint().height()}; }

void ElidedLabel::resizeEvent(QResizeEvent* event) {
  QLabel::resizeEvent(event);
  Elide();
}

void ElidedLabel::Elide() {
  const QString shown = fontMetrics().elidedText(full_, Qt::ElideMiddle, contentsRect().width());
  if (shown != text()) setText(shown);
}

}  // namespace quillon
