#include "ui/window_fonts.h"

#include <QPushButton>

namespace quillon {
namespace {

QFont BoldArial(int points) {
  QFont font(QStringLiteral("Arial"), points, QFont::Bold);
  // Systems without Arial (most Linux installations) take the sans-serif
  // face that fontconfig or Windows offer in its place.
  font.setStyleHint(QFont::SansSerif);
  return font;
}

}  // namespace

QFont ButtonFont() { return BoldArial(11); }
QFont BoxFont() { return BoldArial(9); }

QPushButton* MakeButton(const char* name, const char* caption) {
  auto* button = new QPushButton(QString::fromUtf8(caption));
  button->setObjectName(name);
  button->setFont(ButtonFont());
  button->setAutoDefault(false);
  return button;
}

}  // namespace quillon
