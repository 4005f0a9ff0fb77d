#include "data/text/code_page.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>
#endif

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "data/text/utf8.h"
#include "data/util/error.h"

namespace fox {

namespace {

struct KnownCodePage {
  uint8_t mark;
  int number;
  bool multi_byte;
  const char* title;
  // iconv names to try, best first; glibc spells some of them differently.
  std::array<const char*, 3> names;
};

// The code pages a table header can name (byte 29), in the order of
// FoxPro's own list.
constexpr KnownCodePage kKnown[] = {
    {0x01, 437, false, "U.S. MS-DOS", {"CP437", "IBM437", nullptr}},
    {0x69, 620, false, "Mazovia (Polish) MS-DOS", {"MAZOVIA", "CP620", nullptr}},
    {0x6A, 737, false, "Greek MS-DOS", {"CP737", nullptr, nullptr}},
    {0x02, 850, false, "International MS-DOS", {"CP850", "IBM850", nullptr}},
    {0x64, 852, false, "Eastern European MS-DOS", {"CP852", "IBM852", nullptr}},
    {0x6B, 857, false, "Turkish MS-DOS", {"CP857", "IBM857", nullptr}},
    {0x67, 861, false, "Icelandic MS-DOS", {"CP861", "IBM861", nullptr}},
    {0x66, 865, false, "Nordic MS-DOS", {"CP865", "IBM865", nullptr}},
    {0x65, 866, false, "Russian MS-DOS", {"CP866", "IBM866", nullptr}},
    {0x7C, 874, false, "Thai Windows", {"WINDOWS-874", "CP874", nullptr}},
    {0x68, 895, false, "Kamenicky (Czech) MS-DOS", {"KEYBCS2", "KAMENICKY", "CP895"}},
    {0x7B, 932, true, "Japanese Windows", {"CP932", "WINDOWS-31J", nullptr}},
    {0x7A, 936, true, "Simplified Chinese Windows", {"CP936", "WINDOWS-936", "GBK"}},
    {0x79, 949, true, "Korean Windows", {"CP949", "UHC", nullptr}},
    {0x78, 950, true, "Traditional Chinese Windows", {"CP950", "BIG5", nullptr}},
    {0xC8, 1250, false, "Eastern European Windows", {"CP1250", "WINDOWS-1250", nullptr}},
    {0xC9, 1251, false, "Russian Windows", {"CP1251", "WINDOWS-1251", nullptr}},
    {0x03, 1252, false, "Windows ANSI", {"CP1252", "WINDOWS-1252", nullptr}},
    {0xCB, 1253, false, "Greek Windows", {"CP1253", "WINDOWS-1253", nullptr}},
    {0xCA, 1254, false, "Turkish Windows", {"CP1254", "WINDOWS-1254", nullptr}},
    {0x7D, 1255, false, "Hebrew Windows", {"CP1255", "WINDOWS-1255", nullptr}},
    {0x7E, 1256, false, "Arabic Windows", {"CP1256", "WINDOWS-1256", nullptr}},
    {0x04, 10000, false, "Standard Macintosh", {"MACINTOSH", "MAC", nullptr}},
    {0x98, 10006, false, "Greek Macintosh", {"MAC-GREEK", "MACGREEK", "CP10006"}},
    {0x96, 10007, false, "Russian Macintosh", {"CP10007", "MAC-CYRILLIC", "MACCYRILLIC"}},
    {0x97, 10029, false, "Macintosh EE", {"MAC-CENTRALEUROPE", "MACCENTRALEUROPE", nullptr}},
};

const KnownCodePage* FindByNumber(int number) {
  for (const KnownCodePage& k : kKnown) {
    if (k.number == number) return &k;
  }
  return nullptr;
}

#ifndef _WIN32
// Owns an iconv descriptor.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Converter() {
    if (ok()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return cd_; }
  void Reset() { iconv(cd_, nullptr, nullptr, nullptr, nullptr); }

 private:
  iconv_t cd_;
};
#endif

std::string Hex(uint32_t value, int digits) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%0*X", digits, value);
  return buffer;
}

Error InvalidUtf8(size_t position) {
  return Error(ErrorKind::kInvalidValue,
               "The text is not valid UTF-8 (at byte " + std::to_string(position) + ").");
}

Error Unrepresentable(char32_t cp, int number) {
  std::string shown;
  AppendUtf8(cp, shown);
  return Error(ErrorKind::kInvalidValue, "The character '" + shown + "' (U+" + Hex(cp, 4) +
                                             ") cannot be stored in code page " + std::to_string(number) +
                                             ".");
}

}  // namespace

struct CodePage::Impl {
  int number = 0;
  bool single_byte = true;
  std::string iconv_name;

  // Single-byte code pages: the UTF-8 form of every byte (at most 4 bytes,
  // zero-padded so that it can be copied as a whole) and the way back.
  struct Utf8 {
    char bytes[4];
    uint8_t length;
  };
  std::array<Utf8, 256> to_utf8{};
  size_t longest = 1;       // longest UTF-8 form of any byte
  bool ascii_same = false;  // bytes 0..127 are ASCII, as in every code page FoxPro uses
  std::unordered_map<char32_t, uint8_t> from_unicode;
};

namespace {

// Code points for bytes whose own number is already taken by another byte of
// the code page: the Private Use Area, where no code page here puts text.
constexpr char32_t kSpareBase = 0xF700;

// Decodes single bytes of a code page through the system's converter: the
// one code point a byte stands for, or nothing when the code page leaves it
// undefined (or makes several characters of it).
#ifndef _WIN32
class ByteDecoder {
 public:
  ByteDecoder(const KnownCodePage&, const char* name) : cd_("UTF-32LE", name) {}
  bool ok() const { return cd_.ok(); }
  std::optional<char32_t> Decode(unsigned char b) {
    cd_.Reset();
    char in = static_cast<char>(b);
    char* inp = &in;
    size_t in_left = 1;
    char out[32];
    char* outp = out;
    size_t out_left = sizeof out;
    if (iconv(cd_.get(), &inp, &in_left, &outp, &out_left) == static_cast<size_t>(-1)) return std::nullopt;
    // Some converters (cp1255) hold a character back to combine it with the
    // next one; flush it.
    if (iconv(cd_.get(), nullptr, nullptr, &outp, &out_left) == static_cast<size_t>(-1)) return std::nullopt;
    if (outp - out != 4) return std::nullopt;  // nothing, or several characters: not a plain mapping
    return static_cast<char32_t>(static_cast<unsigned char>(out[0])) |
           (static_cast<char32_t>(static_cast<unsigned char>(out[1])) << 8) |
           (static_cast<char32_t>(static_cast<unsigned char>(out[2])) << 16) |
           (static_cast<char32_t>(static_cast<unsigned char>(out[3])) << 24);
  }

 private:
  Converter cd_;
};
#else
class ByteDecoder {
 public:
  ByteDecoder(const KnownCodePage& known, const char*) : number_(static_cast<UINT>(known.number)) {}
  bool ok() const { return IsValidCodePage(number_) != 0; }
  std::optional<char32_t> Decode(unsigned char b) const {
    const char in = static_cast<char>(b);
    wchar_t out[4];
    const int n = MultiByteToWideChar(number_, MB_ERR_INVALID_CHARS, &in, 1, out, 4);
    if (n != 1 || (out[0] >= 0xD800 && out[0] < 0xE000)) return std::nullopt;
    return static_cast<char32_t>(out[0]);
  }

 private:
  UINT number_;
};
#endif

std::shared_ptr<CodePage::Impl> BuildSingleByte(const KnownCodePage& known, const char* name) {
  auto impl = std::make_shared<CodePage::Impl>();
  impl->number = known.number;
  impl->single_byte = true;
  impl->iconv_name = name;

  ByteDecoder decoder(known, name);
  if (!decoder.ok()) return nullptr;

  // First the bytes the code page defines; a byte that decodes to a code point
  // another byte already produced is treated as undefined, so that every
  // byte keeps a character of its own and survives a round trip.
  std::array<char32_t, 256> cps{};
  std::array<bool, 256> defined{};
  std::unordered_map<char32_t, int> taken;
  for (int b = 0; b < 256; ++b) {
    const std::optional<char32_t> decoded = decoder.Decode(static_cast<unsigned char>(b));
    if (!decoded) continue;
    const char32_t cp = *decoded;
    if (taken.count(cp) != 0) continue;
    cps[b] = cp;
    defined[b] = true;
    taken[cp] = b;
  }
  // Then the undefined bytes: the character of the same number, as Windows
  // does (cp1252 0x81 is U+0081), or a private one when that is taken.
  for (int b = 0; b < 256; ++b) {
    if (defined[b]) continue;
    char32_t cp = static_cast<char32_t>(b);
    if (taken.count(cp) != 0) cp = kSpareBase + static_cast<char32_t>(b);
    cps[b] = cp;
    taken[cp] = b;
  }

  impl->ascii_same = true;
  for (int b = 0; b < 256; ++b) {
    std::string utf8;
    AppendUtf8(cps[b], utf8);
    CodePage::Impl::Utf8& entry = impl->to_utf8[static_cast<size_t>(b)];
    std::memcpy(entry.bytes, utf8.data(), utf8.size());
    entry.length = static_cast<uint8_t>(utf8.size());
    impl->longest = std::max(impl->longest, utf8.size());
    impl->from_unicode[cps[b]] = static_cast<uint8_t>(b);
    if (b < 0x80 && cps[b] != static_cast<char32_t>(b)) impl->ascii_same = false;
  }
  return impl;
}

std::shared_ptr<CodePage::Impl> BuildMultiByte(const KnownCodePage& known, const char* name) {
#ifdef _WIN32
  if (!IsValidCodePage(static_cast<UINT>(known.number))) return nullptr;
#else
  Converter to_utf8("UTF-8", name);
  Converter from_utf8(name, "UTF-8");
  if (!to_utf8.ok() || !from_utf8.ok()) return nullptr;
#endif
  auto impl = std::make_shared<CodePage::Impl>();
  impl->number = known.number;
  impl->single_byte = false;
  impl->iconv_name = name;
  return impl;
}

std::shared_ptr<const CodePage::Impl> Load(int number) {
  static std::mutex mutex;
  static std::map<int, std::shared_ptr<const CodePage::Impl>> cache;
  std::lock_guard<std::mutex> lock(mutex);
  auto it = cache.find(number);
  if (it != cache.end()) return it->second;

  const KnownCodePage* known = FindByNumber(number);
  if (known == nullptr) {
    throw Error(ErrorKind::kUnsupported,
                "Code page " + std::to_string(number) + " is not a code page FoxPro tables use.");
  }
  std::shared_ptr<CodePage::Impl> impl;
  for (const char* name : known->names) {
    if (name == nullptr) break;
    impl = known->multi_byte ? BuildMultiByte(*known, name) : BuildSingleByte(*known, name);
    if (impl) break;
  }
  if (!impl) {
    throw Error(ErrorKind::kUnsupported, "Code page " + std::to_string(number) + " (" + known->title +
                                             ") cannot be converted on this system.");
  }
  cache[number] = impl;
  return impl;
}

#ifndef _WIN32
// iconv descriptors for the multi-byte code pages, one set per thread since a
// descriptor keeps conversion state and must not be shared.
iconv_t ThreadConverter(const std::string& to, const std::string& from) {
  thread_local std::map<std::pair<std::string, std::string>, std::unique_ptr<Converter>> converters;
  auto& slot = converters[{to, from}];
  if (!slot) {
    slot = std::make_unique<Converter>(to.c_str(), from.c_str());
    if (!slot->ok()) {
      slot.reset();
      throw Error(ErrorKind::kUnsupported,
                  "Cannot convert between " + from + " and " + to + " on this system.");
    }
  }
  slot->Reset();
  return slot->get();
}

// Doubles an iconv output buffer that ran out of room, keeping what was
// converted so far and where the conversion stands.
void GrowOutput(std::string& out, char*& outp, size_t& out_left) {
  const size_t used = static_cast<size_t>(outp - out.data());
  out.resize(out.size() * 2);
  outp = out.data() + used;
  out_left = out.size() - used;
}
#endif

// The length of the leading run of ASCII bytes, eight at a time: most text
// is plain ASCII, and copying it whole is the common case of both directions.
size_t AsciiPrefix(const char* data, size_t n) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t word;
    std::memcpy(&word, data + i, sizeof word);
    if (word & 0x8080808080808080ull) break;
  }
  while (i < n && static_cast<unsigned char>(data[i]) < 0x80) ++i;
  return i;
}

// Multi-byte code pages go through the system's converter.
#ifndef _WIN32
std::string DecodeMultiByte(int number, const std::string& name, std::string_view bytes) {
  const size_t n = bytes.size();
  const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
  iconv_t cd = ThreadConverter("UTF-8", name);
  std::string out;
  out.resize(n * 3 + 16);
  char* inp = const_cast<char*>(bytes.data());
  size_t in_left = n;
  char* outp = out.data();
  size_t out_left = out.size();
  while (in_left > 0) {
    if (iconv(cd, &inp, &in_left, &outp, &out_left) != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) {
      GrowOutput(out, outp, out_left);
      continue;
    }
    size_t at = static_cast<size_t>(inp - bytes.data());
    std::string shown;
    for (size_t k = at; k < n && k < at + 2; ++k) shown += (shown.empty() ? "0x" : " 0x") + Hex(in[k], 2);
    if (errno == EINVAL) {
      throw Error(ErrorKind::kCorrupt, "The text ends in the middle of a character of code page " +
                                           std::to_string(number) + " (byte " + shown + " at position " +
                                           std::to_string(at) + ").");
    }
    throw Error(ErrorKind::kCorrupt, "The bytes " + shown + " at position " + std::to_string(at) +
                                         " are not valid text in code page " + std::to_string(number) + ".");
  }
  out.resize(static_cast<size_t>(outp - out.data()));
  return out;
}

std::string EncodeMultiByte(int number, const std::string& name, std::string_view text) {
  const size_t n = text.size();
  iconv_t cd = ThreadConverter(name, "UTF-8");
  std::string out;
  out.resize(n * 2 + 16);
  char* inp = const_cast<char*>(text.data());
  size_t in_left = n;
  char* outp = out.data();
  size_t out_left = out.size();
  for (;;) {
    if (iconv(cd, &inp, &in_left, &outp, &out_left) != static_cast<size_t>(-1) &&
        iconv(cd, nullptr, nullptr, &outp, &out_left) != static_cast<size_t>(-1)) {
      break;  // all converted, and any shift state written
    }
    if (errno == E2BIG) {
      GrowOutput(out, outp, out_left);
      continue;
    }
    size_t at = static_cast<size_t>(inp - text.data());
    char32_t code = 0;
    if (at < n && NextCodePoint(text, at, code)) throw Unrepresentable(code, number);
    throw Error(ErrorKind::kInvalidValue,
                "The text cannot be stored in code page " + std::to_string(number) + ".");
  }
  out.resize(static_cast<size_t>(outp - out.data()));
  return out;
}
#else
// UTF-16 from code points.
void AppendUtf16(char32_t cp, std::wstring& out) {
  if (cp >= 0x10000) {
    cp -= 0x10000;
    out += static_cast<wchar_t>(0xD800 + (cp >> 10));
    out += static_cast<wchar_t>(0xDC00 + (cp & 0x3FF));
  } else {
    out += static_cast<wchar_t>(cp);
  }
}

std::string DecodeMultiByte(int number, const std::string&, std::string_view bytes) {
  const UINT page = static_cast<UINT>(number);
  const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
  const int n = static_cast<int>(bytes.size());
  std::wstring wide(bytes.size() + 1, L'\0');
  const int made = n == 0 ? 0
                          : MultiByteToWideChar(page, MB_ERR_INVALID_CHARS, bytes.data(), n, wide.data(),
                                                static_cast<int>(wide.size()));
  if (n == 0 || made > 0) return Utf8FromUtf16(wide.data(), static_cast<size_t>(made));
  // Character by character, to say where the bytes go wrong.
  for (int at = 0; at < n;) {
    const int length = IsDBCSLeadByteEx(page, in[at]) ? 2 : 1;
    std::string shown;
    for (int k = at; k < n && k < at + 2; ++k) shown += (shown.empty() ? "0x" : " 0x") + Hex(in[k], 2);
    if (at + length > n) {
      throw Error(ErrorKind::kCorrupt, "The text ends in the middle of a character of code page " +
                                           std::to_string(number) + " (byte " + shown + " at position " +
                                           std::to_string(at) + ").");
    }
    wchar_t one[4];
    if (MultiByteToWideChar(page, MB_ERR_INVALID_CHARS, bytes.data() + at, length, one, 4) <= 0) {
      throw Error(ErrorKind::kCorrupt, "The bytes " + shown + " at position " + std::to_string(at) +
                                           " are not valid text in code page " + std::to_string(number) +
                                           ".");
    }
    at += length;
  }
  throw Error(ErrorKind::kCorrupt, "The text is not valid in code page " + std::to_string(number) + ".");
}

std::string EncodeMultiByte(int number, const std::string&, std::string_view text) {
  const UINT page = static_cast<UINT>(number);
  std::wstring wide;
  std::vector<char32_t> codes;
  for (size_t i = 0; i < text.size();) {
    char32_t code;
    const size_t at = i;
    if (!NextCodePoint(text, i, code)) throw InvalidUtf8(at);
    codes.push_back(code);
    AppendUtf16(code, wide);
  }
  if (wide.empty()) return std::string();
  // A character the code page lacks would become its default character:
  // that is refused, naming the first such character.
  auto convert = [&](const wchar_t* w, int n, std::string* out) {
    BOOL used_default = FALSE;
    const int size =
        WideCharToMultiByte(page, WC_NO_BEST_FIT_CHARS, w, n, nullptr, 0, nullptr, &used_default);
    if (size <= 0 || used_default) return false;
    out->resize(static_cast<size_t>(size));
    return WideCharToMultiByte(page, WC_NO_BEST_FIT_CHARS, w, n, out->data(), size, nullptr, &used_default) ==
               size &&
           !used_default;
  };
  std::string out;
  if (convert(wide.data(), static_cast<int>(wide.size()), &out)) return out;
  for (char32_t code : codes) {
    std::wstring one;
    AppendUtf16(code, one);
    std::string ignored;
    if (!convert(one.data(), static_cast<int>(one.size()), &ignored)) throw Unrepresentable(code, number);
  }
  throw Error(ErrorKind::kInvalidValue,
              "The text cannot be stored in code page " + std::to_string(number) + ".");
}
#endif

}  // namespace

CodePage CodePage::FromMark(uint8_t mark) {
  if (mark == 0) return FromNumber(437);  // unmarked tables hold DOS text
  for (const KnownCodePage& k : kKnown) {
    if (k.mark == mark) return FromNumber(k.number);
  }
  throw Error(ErrorKind::kUnsupported, "The code page mark 0x" + Hex(mark, 2) + " names no known code page.");
}

CodePage CodePage::FromNumber(int number) { return CodePage(Load(number)); }

int CodePage::number() const { return impl_->number; }

bool CodePage::single_byte() const { return impl_->single_byte; }

std::string CodePage::Decode(std::string_view bytes) const {
  const Impl& cp = *impl_;
  const size_t n = bytes.size();
  const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());

  if (cp.single_byte) {
    // Most field values are plain ASCII: hand them back as they are.
    size_t i = 0;
    if (cp.ascii_same) {
      i = AsciiPrefix(bytes.data(), n);
      if (i == n) return std::string(bytes);
    }
    std::string out;
    out.resize(i + (n - i) * cp.longest + 4);  // +4: whole-entry copies may overrun
    char* p = out.data();
    std::memcpy(p, in, i);
    p += i;
    for (; i < n; ++i) {
      unsigned char b = in[i];
      if (b < 0x80 && cp.ascii_same) {
        *p++ = static_cast<char>(b);
      } else {
        const Impl::Utf8& e = cp.to_utf8[b];
        std::memcpy(p, e.bytes, 4);
        p += e.length;
      }
    }
    out.resize(static_cast<size_t>(p - out.data()));
    return out;
  }

  return DecodeMultiByte(cp.number, cp.iconv_name, bytes);
}

std::optional<std::string> CodePage::SearchBytes(std::string_view text) const {
  const Impl& cp = *impl_;
  if (!cp.single_byte) throw Error(ErrorKind::kUsage, "SearchBytes needs a single-byte code page.");
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80 && cp.ascii_same) {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    char32_t code;
    const size_t at = i;
    if (!NextCodePoint(text, i, code)) throw InvalidUtf8(at);
    const auto found = cp.from_unicode.find(code);
    if (found == cp.from_unicode.end()) return std::nullopt;
    out += static_cast<char>(found->second);
  }
  return out;
}

std::string CodePage::Encode(std::string_view text) const {
  std::string bytes;
  Encode(text, &bytes);
  return bytes;
}

void CodePage::Encode(std::string_view text, std::string* bytes) const {
  const Impl& cp = *impl_;
  const size_t n = text.size();

  if (cp.single_byte) {
    const size_t plain = cp.ascii_same ? AsciiPrefix(text.data(), n) : 0;
    if (plain == n) {
      bytes->assign(text);
      return;
    }
    std::string& out = *bytes;
    out.resize(n);  // one byte per character, and a character takes at least one byte of UTF-8
    std::memcpy(out.data(), text.data(), plain);
    size_t o = plain;
    size_t i = plain;
    while (i < n) {
      auto c = static_cast<unsigned char>(text[i]);
      if (c < 0x80 && cp.ascii_same) {
        out[o++] = static_cast<char>(c);
        ++i;
        continue;
      }
      char32_t code;
      size_t at = i;
      if (!NextCodePoint(text, i, code)) throw InvalidUtf8(at);
      auto found = cp.from_unicode.find(code);
      if (found == cp.from_unicode.end()) throw Unrepresentable(code, cp.number);
      out[o++] = static_cast<char>(found->second);
    }
    out.resize(o);
    return;
  }

  // iconv cannot tell malformed input from a character the code page lacks;
  // check the UTF-8 first so that each gets its own message.
  for (size_t i = 0; i < n;) {
    char32_t code;
    size_t at = i;
    if (!NextCodePoint(text, i, code)) throw InvalidUtf8(at);
  }
  *bytes = EncodeMultiByte(cp.number, cp.iconv_name, text);
}

}  // namespace fox
