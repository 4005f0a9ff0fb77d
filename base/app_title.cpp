#include "base/app_title.h"

namespace quillon {
namespace {

std::string& Title() {
  static std::string title = kDefaultApplicationTitle;
  return title;
}

}  // namespace

const std::string& ApplicationTitle() { return Title(); }

void SetApplicationTitle(std::string title) { Title() = std::move(title); }

namespace {

// Number of characters of UTF-8 text: every byte that does not continue a
// character starts one.
size_t CharacterCount(const std::string& text) {
  size_t count = 0;
  for (char c : text) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return count;
}

// The first `characters` characters of UTF-8 text.
std::string FirstCharacters(const std::string& text, size_t characters) {
  size_t end = 0;
  for (size_t seen = 0; end < text.size(); ++end) {
    if ((static_cast<unsigned char>(text[end]) & 0xC0) != 0x80 && seen++ == characters) break;
  }
  return text.substr(0, end);
}

}  // namespace

std::string TitleFromProductName(const std::string& product) {
  std::string title = product;
  if (title.find(' ') == std::string::npos) {
    return FirstCharacters(title, static_cast<size_t>(kMaxApplicationTitle));
  }
  do {
    const size_t blank = title.rfind(' ');
    if (blank == std::string::npos) break;  // one word left and still too long
    title.resize(blank);
  } while (CharacterCount(title) > static_cast<size_t>(kMaxApplicationTitle));
  if (CharacterCount(title) > static_cast<size_t>(kMaxApplicationTitle)) {
    title = FirstCharacters(title, static_cast<size_t>(kMaxApplicationTitle));
  }
  return title;
}

void SetAppTitle() { SetApplicationTitle(TitleFromProductName(kProductName)); }

}  // namespace quillon
