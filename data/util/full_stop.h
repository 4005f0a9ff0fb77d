// Messages made of a sentence and a reason that may be a sentence of its
// own (an error's text): the full stop is added only where the text has
// none, so that no message ends in "..".
#pragma once

#include <string>

namespace fox {

// `text` ending in one full stop (or in the '!' or '?' it ends in).
inline std::string WithFullStop(std::string text) {
  if (text.empty() || (text.back() != '.' && text.back() != '!' && text.back() != '?')) text += '.';
  return text;
}

}  // namespace fox
