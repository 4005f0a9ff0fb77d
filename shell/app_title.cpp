#include "shell/app_title.h"

namespace quillon {
namespace {

std::string& Title() {
  static std::string title = kDefaultApplicationTitle;
  return title;
}

}  // namespace

const std::string& ApplicationTitle() { return Title(); }

void SetApplicationTitle(std::string title) { Title() = std::move(title); }

}  // namespace quillon
