// The code page of a table: how its text bytes become text (UTF-8) and back.
//
// A table's header carries a code page mark (byte 29) that names a Windows,
// DOS or Macintosh code page. Single-byte code pages convert through a
// 256-entry table built once per code page; every byte value round-trips
// (bytes the code page leaves undefined map to the Unicode control or Latin-1
// character of the same number, as Windows itself does, or to the private-use
// character U+F700 + byte when another byte already stands for that one).
// Multi-byte code pages (932, 936, 949, 950) convert through iconv; there a
// character with two encodings (cp932's NEC and IBM rows) is written back in
// its preferred one, so Encode(Decode(bytes)) may differ from the bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace fox {

class CodePage {
 public:
  // The code page of a table header's mark. Mark 0 (not marked) is taken as
  // DOS code page 437. Throws Error(kUnsupported) for a mark that names no
  // code page this platform can convert.
  static CodePage FromMark(uint8_t mark);

  // The code page with a Windows number (1252, 437, 932, ...). Throws
  // Error(kUnsupported) when it cannot be converted here.
  static CodePage FromNumber(int number);

  int number() const;
  bool single_byte() const;

  // Converts table bytes to UTF-8. Throws Error(kCorrupt) when the bytes are
  // not valid in a multi-byte code page.
  std::string Decode(std::string_view bytes) const;

  // Converts UTF-8 text to table bytes. Throws Error(kInvalidValue) naming
  // the first character the code page cannot hold; never substitutes "?".
  std::string Encode(std::string_view text) const;
  // The same into `bytes`, whose memory is used again where it suffices.
  void Encode(std::string_view text, std::string* bytes) const;

  // Single-byte code pages: whether `text` can occur in decoded text, and if
  // so the bytes that decode to it. Every byte of such a page decodes to a
  // character of its own, so a decoded value contains `text` exactly when its
  // bytes contain these. Nothing when the text holds a character the page
  // lacks. Throws Error(kInvalidValue) for text that is not valid UTF-8 and
  // Error(kUsage) for a multi-byte page.
  std::optional<std::string> SearchBytes(std::string_view text) const;

  struct Impl;

 private:
  explicit CodePage(std::shared_ptr<const Impl> impl) : impl_(std::move(impl)) {}
  std::shared_ptr<const Impl> impl_;
};

}  // namespace fox
