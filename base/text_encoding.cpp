#include "base/text_encoding.h"

#include "data/text/utf8.h"

#ifdef _WIN32
#include <windows.h>

#include "data/file/utf8_path.h"
#endif

namespace quillon {

#ifdef _WIN32

std::string SystemToUtf8(std::string_view bytes) {
  if (bytes.empty()) return {};
  const int n = MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), wide.data(), n);
  return fox::Utf8FromWide(wide);
}

bool Utf8ToSystem(std::string_view utf8, std::string* out) {
  out->clear();
  if (utf8.empty()) return true;
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
  BOOL lossy = FALSE;
  const int m = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()),
                                    nullptr, 0, nullptr, &lossy);
  if (lossy || m <= 0) return false;
  out->resize(static_cast<size_t>(m));
  WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()), out->data(),
                      m, nullptr, &lossy);
  return !lossy;
}

#else

std::string SystemToUtf8(std::string_view bytes) { return ValidUtf8(bytes); }

bool Utf8ToSystem(std::string_view utf8, std::string* out) {
  out->assign(utf8);
  return true;
}

#endif

bool IsValidUtf8(std::string_view bytes) {
  char32_t cp;
  for (size_t i = 0; i < bytes.size();) {
    if (!fox::NextCodePoint(bytes, i, cp)) return false;
  }
  return true;
}

std::string ValidUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  char32_t cp;
  for (size_t i = 0; i < bytes.size();) {
    const size_t at = i;
    if (fox::NextCodePoint(bytes, i, cp)) {
      out.append(bytes.substr(at, i - at));
    } else {
      fox::AppendUtf8(0xFFFD, out);
      ++i;
    }
  }
  return out;
}

}  // namespace quillon
