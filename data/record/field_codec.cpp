#include "data/record/field_codec.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "data/util/byte_order.h"
#include "data/util/error.h"

namespace fox {
namespace {

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int* year, int* month, int* day) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t y = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *year = static_cast<int>(y + (*month <= 2));
}

constexpr int64_t kJulianDayOfUnixEpoch = 2440588;  // 1970-01-01
constexpr int64_t kMillisecondsPerDay = 86400000;

bool ValidDate(int y, int m, int d) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (y < 1 || y > 9999 || m < 1 || m > 12 || d < 1) return false;
  int limit = days[m - 1];
  if (m == 2 && ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0)) limit = 29;
  return d <= limit;
}

std::string TwoDigits(int v) {
  char b[3] = {static_cast<char>('0' + v / 10 % 10), static_cast<char>('0' + v % 10), 0};
  return b;
}

// "YYYY-MM-DD"; years lie in 1..9999. Written by hand: dates are read for
// every record of a run.
std::string FormatDate(int y, int m, int d) {
  char b[10] = {static_cast<char>('0' + y / 1000 % 10),
                static_cast<char>('0' + y / 100 % 10),
                static_cast<char>('0' + y / 10 % 10),
                static_cast<char>('0' + y % 10),
                '-',
                static_cast<char>('0' + m / 10 % 10),
                static_cast<char>('0' + m % 10),
                '-',
                static_cast<char>('0' + d / 10 % 10),
                static_cast<char>('0' + d % 10)};
  return std::string(b, sizeof b);
}

bool AllOf(std::string_view s, char c) {
  for (char x : s) {
    if (x != c) return false;
  }
  return true;
}

bool Blank(std::string_view s) {
  for (char x : s) {
    if (x != ' ' && x != '\0') return false;
  }
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\0')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.remove_suffix(1);
  return s;
}

// A text the field cannot take: `reason` is the same for every text refused
// alike, the message shows the text.
ValueProblem Problem(std::string_view text, const std::string& reason) {
  return ValueProblem{reason, "\"" + std::string(text) + "\" " + reason};
}

[[noreturn]] void Unreadable(const FieldDescriptor& f, const std::string& why) {
  throw Error(ErrorKind::kCorrupt, "The stored value of field '" + f.name + "' " + why + ".");
}

bool ParseDigits(std::string_view s, int* out) {
  if (s.empty()) return false;
  int v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  *out = v;
  return true;
}

// Parses "YYYY-MM-DD" or "YYYYMMDD".
bool ParseDate(std::string_view s, int* y, int* m, int* d) {
  if (s.size() == 10 && s[4] == '-' && s[7] == '-') {
    return ParseDigits(s.substr(0, 4), y) && ParseDigits(s.substr(5, 2), m) &&
           ParseDigits(s.substr(8, 2), d) && ValidDate(*y, *m, *d);
  }
  if (s.size() == 8) {
    return ParseDigits(s.substr(0, 4), y) && ParseDigits(s.substr(4, 2), m) &&
           ParseDigits(s.substr(6, 2), d) && ValidDate(*y, *m, *d);
  }
  return false;
}

// A decimal number as written by a person: sign, integer digits, fraction.
struct Decimal {
  bool negative = false;
  std::string integer;   // without leading zeros, "" for zero
  std::string fraction;  // without trailing zeros
};

bool ParseDecimal(std::string_view s, Decimal* out) {
  Decimal d;
  size_t i = 0;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) d.negative = s[i++] == '-';
  size_t digits = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
    d.integer += s[i++];
    ++digits;
  }
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
      d.fraction += s[i++];
      ++digits;
    }
  }
  if (i != s.size() || digits == 0) return false;
  d.integer.erase(0, d.integer.find_first_not_of('0') == std::string::npos
                         ? d.integer.size()
                         : d.integer.find_first_not_of('0'));
  while (!d.fraction.empty() && d.fraction.back() == '0') d.fraction.pop_back();
  if (d.integer.empty() && d.fraction.empty()) d.negative = false;
  *out = d;
  return true;
}

std::optional<ValueProblem> NumericBytes(const FieldDescriptor& f, std::string_view text,
                                         std::string* bytes) {
  std::string_view t = Trim(text);
  if (t.empty()) {
    bytes->assign(f.length, ' ');
    return std::nullopt;
  }
  Decimal d;
  if (!ParseDecimal(t, &d)) return Problem(t, "is not a number");
  if (d.fraction.size() > f.decimals) {
    return Problem(
        t, "has more than " + std::to_string(f.decimals) + " decimal places, which the field cannot hold");
  }
  std::string s = d.negative ? "-" : "";
  s += d.integer.empty() ? "0" : d.integer;
  if (f.decimals > 0) s += "." + d.fraction + std::string(f.decimals - d.fraction.size(), '0');
  if (s.size() > f.length) {
    return Problem(t, "is too wide for a numeric field of width " + std::to_string(f.length) + " with " +
                          std::to_string(f.decimals) + " decimals");
  }
  *bytes = std::string(f.length - s.size(), ' ') + s;
  return std::nullopt;
}

std::string FormatCurrency(int64_t raw) {
  const bool negative = raw < 0;
  // Work in unsigned to survive INT64_MIN.
  uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(raw) : static_cast<uint64_t>(raw);
  std::string s = std::to_string(magnitude / 10000);
  std::string fraction = std::to_string(magnitude % 10000);
  fraction = std::string(4 - fraction.size(), '0') + fraction;
  while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
  if (!fraction.empty()) s += "." + fraction;
  return negative ? "-" + s : s;
}

std::optional<ValueProblem> ParseCurrency(std::string_view text, int64_t* out) {
  Decimal d;
  if (!ParseDecimal(Trim(text), &d)) return Problem(text, "is not a number");
  if (d.fraction.size() > 4) return Problem(text, "has more than 4 decimal places");
  std::string digits =
      (d.integer.empty() ? "0" : d.integer) + d.fraction + std::string(4 - d.fraction.size(), '0');
  uint64_t magnitude = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
  (void)end;
  const uint64_t limit = d.negative ? static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) + 1
                                    : static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  if (ec != std::errc() || magnitude > limit) return Problem(text, "is out of range for currency");
  *out = d.negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
  return std::nullopt;
}

std::string FormatDouble(double v) {
  char buffer[400];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, v, std::chars_format::fixed);
  if (ec != std::errc()) {
    auto r = std::to_chars(buffer, buffer + sizeof buffer, v);
    end = r.ptr;
  }
  return std::string(buffer, end);
}

}  // namespace

int64_t JulianDayNumber(int year, int month, int day) {
  return DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) +
         kJulianDayOfUnixEpoch;
}

void DateOfJulianDay(int64_t jdn, int* year, int* month, int* day) {
  CivilFromDays(jdn - kJulianDayOfUnixEpoch, year, month, day);
}

FieldCodec::FieldCodec(const TableHeader& header, CodePage code_page)
    : header_(header), code_page_(std::move(code_page)) {}

bool FieldCodec::HasTextForm(const FieldDescriptor& f) {
  switch (f.type) {
    case 'C':
    case 'V':
    case 'M':
      return !f.binary();
    case 'N':
    case 'F':
    case 'D':
    case 'T':
    case 'L':
    case 'I':
    case 'Y':
    case 'B':
      return true;
    default:  // G W P Q and _NullFlags
      return false;
  }
}

static bool NullBit(std::string_view record, const TableHeader& h, int bit) {
  if (bit < 0 || h.null_flags_index < 0) return false;
  const FieldDescriptor& nf = h.fields[h.null_flags_index];
  const size_t byte = nf.offset + static_cast<size_t>(bit) / 8;
  if (byte >= record.size()) return false;
  return (static_cast<unsigned char>(record[byte]) >> (bit % 8)) & 1;
}

static void SetBit(std::string& record, const TableHeader& h, int bit, bool value) {
  if (bit < 0 || h.null_flags_index < 0) return;
  const FieldDescriptor& nf = h.fields[h.null_flags_index];
  const size_t byte = nf.offset + static_cast<size_t>(bit) / 8;
  unsigned char b = static_cast<unsigned char>(record[byte]);
  const unsigned char mask = static_cast<unsigned char>(1u << (bit % 8));
  b = value ? (b | mask) : (b & ~mask);
  record[byte] = static_cast<char>(b);
}

bool FieldCodec::IsNull(std::string_view record, const FieldDescriptor& field) const {
  return NullBit(record, header_, field.null_bit);
}

bool FieldCodec::HasFlagBits(const FieldDescriptor& field) const {
  return header_.null_flags_index >= 0 && (field.null_bit >= 0 || field.varlength_bit >= 0);
}

unsigned FieldCodec::FlagBits(std::string_view record, const FieldDescriptor& field) const {
  return (NullBit(record, header_, field.null_bit) ? 1u : 0u) |
         (NullBit(record, header_, field.varlength_bit) ? 2u : 0u);
}

void FieldCodec::SetFlagBits(std::string& record, const FieldDescriptor& field, unsigned bits) const {
  SetBit(record, header_, field.null_bit, (bits & 1u) != 0);
  SetBit(record, header_, field.varlength_bit, (bits & 2u) != 0);
}

std::optional<std::string> FieldCodec::Text(std::string_view record, const FieldDescriptor& f) const {
  if (!HasTextForm(f) || f.is_memo()) return std::nullopt;
  if (IsNull(record, f)) return std::nullopt;
  std::string_view raw = record.substr(f.offset, f.length);
  switch (f.type) {
    case 'C':
    case 'V':
      return code_page_.Decode(TextBytes(record, f));
    case 'N':
    case 'F':
      return std::string(Trim(raw));
    case 'D': {
      if (Blank(raw) || AllOf(raw, '0')) return std::string();
      int y, m, d;
      if (!ParseDate(raw, &y, &m, &d)) Unreadable(f, "\"" + std::string(raw) + "\" is not a date");
      return FormatDate(y, m, d);
    }
    case 'T': {
      if (AllOf(raw, '\0') || AllOf(raw, ' ')) return std::string();
      const int64_t jdn = static_cast<int32_t>(LoadLE32(raw.data()));
      int64_t ms = static_cast<int32_t>(LoadLE32(raw.data() + 4));
      if (jdn <= 0 && ms == 0) return std::string();
      if (ms < 0 || ms >= kMillisecondsPerDay) Unreadable(f, "holds an impossible time of day");
      int64_t seconds = (ms + 500) / 1000;  // FoxPro stores some whole seconds 1 ms short
      int64_t days = jdn - kJulianDayOfUnixEpoch;
      if (seconds == 86400) {
        seconds = 0;
        ++days;
      }
      int y, m, d;
      CivilFromDays(days, &y, &m, &d);
      if (y < 1 || y > 9999) Unreadable(f, "holds a date outside the years 1 to 9999");
      return FormatDate(y, m, d) + " " + TwoDigits(static_cast<int>(seconds / 3600)) + ":" +
             TwoDigits(static_cast<int>(seconds / 60 % 60)) + ":" + TwoDigits(static_cast<int>(seconds % 60));
    }
    case 'L':
      switch (raw[0]) {
        case 'T':
        case 't':
        case 'Y':
        case 'y':
          return std::string("True");
        case 'F':
        case 'f':
        case 'N':
        case 'n':
          return std::string("False");
        default:
          return std::string();
      }
    case 'I':
      return std::to_string(static_cast<int32_t>(LoadLE32(raw.data())));
    case 'Y':
      return FormatCurrency(static_cast<int64_t>(LoadLE64(raw.data())));
    case 'B': {
      double v;
      uint64_t bits = LoadLE64(raw.data());
      std::memcpy(&v, &bits, sizeof v);
      return FormatDouble(v);
    }
  }
  return std::nullopt;
}

std::string_view FieldCodec::TextBytes(std::string_view record, const FieldDescriptor& f) const {
  std::string_view raw = record.substr(f.offset, f.length);
  if (f.type != 'V' || !NullBit(record, header_, f.varlength_bit)) return raw;
  const size_t n = static_cast<unsigned char>(raw.back());
  if (n >= raw.size()) Unreadable(f, "has a length byte larger than the field");
  return raw.substr(0, n);
}

void FieldCodec::Assign(std::string& record, const FieldDescriptor& f, std::string_view text) const {
  std::string bytes;
  bool short_value = false;
  if (std::optional<ValueProblem> problem = Encode(f, text, &bytes, &short_value))
    throw Error(ErrorKind::kInvalidValue, problem->message);
  Store(record, f, bytes, short_value);
}

void FieldCodec::Store(std::string& record, const FieldDescriptor& f, const std::string& bytes,
                       bool short_value) const {
  record.replace(f.offset, f.length, bytes);
  if (f.type == 'V') SetBit(record, header_, f.varlength_bit, short_value);
  SetBit(record, header_, f.null_bit, false);
}

std::optional<ValueProblem> FieldCodec::Encode(const FieldDescriptor& f, std::string_view text,
                                               std::string* out, bool* short_value_out) const {
  if (!HasTextForm(f) || f.is_memo()) {
    throw Error(ErrorKind::kUsage, "field '" + f.name + "' cannot be assigned as text here");
  }
  std::string& bytes = *out;
  bytes.clear();
  bool& short_value = *short_value_out;  // V: whether the length lives in the last byte
  short_value = false;
  switch (f.type) {
    case 'C':
    case 'V': {
      if (std::optional<ValueProblem> problem = EncodeText(text, &bytes)) return problem;
      if (bytes.size() > f.length) {
        return ValueProblem{"is longer than the field", "the text needs " + std::to_string(bytes.size()) +
                                                            " bytes but the field holds " +
                                                            std::to_string(f.length)};
      }
      if (f.type == 'C') {
        bytes.resize(f.length, ' ');
        break;
      }
      if (bytes.size() < f.length) {
        short_value = true;
        const size_t n = bytes.size();
        bytes.resize(f.length, ' ');
        bytes.back() = static_cast<char>(n);
      }
      break;
    }
    case 'N':
    case 'F':
      if (std::optional<ValueProblem> problem = NumericBytes(f, text, &bytes)) return problem;
      break;
    case 'D': {
      std::string_view t = Trim(text);
      if (t.empty()) {
        bytes.assign(8, ' ');
        break;
      }
      int y, m, d;
      if (!ParseDate(t, &y, &m, &d)) return Problem(t, "is not a date (YYYY-MM-DD)");
      char b[40];
      std::snprintf(b, sizeof b, "%04d%02d%02d", y, m, d);
      bytes.assign(b, 8);
      break;
    }
    case 'T': {
      std::string_view t = Trim(text);
      bytes.assign(8, '\0');
      if (t.empty()) break;
      int y, m, d, hh = 0, mi = 0, ss = 0, ms = 0;
      bool ok = t.size() >= 10 && ParseDate(t.substr(0, 10), &y, &m, &d);
      if (ok && t.size() > 10) {
        std::string_view time = t.substr(11);
        ok = (t[10] == ' ' || t[10] == 'T') && time.size() >= 8 && time[2] == ':' && time[5] == ':' &&
             ParseDigits(time.substr(0, 2), &hh) && ParseDigits(time.substr(3, 2), &mi) &&
             ParseDigits(time.substr(6, 2), &ss) && hh < 24 && mi < 60 && ss < 60;
        if (ok && time.size() > 8)
          ok = time[8] == '.' && time.size() == 12 && ParseDigits(time.substr(9), &ms);
      }
      if (!ok) return Problem(t, "is not a date and time (YYYY-MM-DD hh:mm:ss)");
      StoreLE32(bytes.data(), static_cast<uint32_t>(DaysFromCivil(y, m, d) + kJulianDayOfUnixEpoch));
      StoreLE32(bytes.data() + 4, static_cast<uint32_t>(((hh * 60 + mi) * 60 + ss) * 1000 + ms));
      break;
    }
    case 'L': {
      std::string t(Trim(text));
      for (char& c : t) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      if (t == "TRUE" || t == "T" || t == ".T." || t == "Y" || t == "YES")
        bytes = "T";
      else if (t == "FALSE" || t == "F" || t == ".F." || t == "N" || t == "NO")
        bytes = "F";
      else if (t.empty())
        bytes = " ";
      else
        return Problem(text, "is not a logical value (True or False)");
      break;
    }
    case 'I': {
      std::string_view t = Trim(text);
      int64_t v = 0;
      auto [end, ec] = std::from_chars(t.data() + (!t.empty() && t[0] == '+'), t.data() + t.size(), v);
      if (t.empty() || ec != std::errc() || end != t.data() + t.size()) {
        return Problem(t, "is not a whole number");
      }
      if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max()) {
        return Problem(t, "is out of range for an integer field");
      }
      bytes.resize(4);
      StoreLE32(bytes.data(), static_cast<uint32_t>(static_cast<int32_t>(v)));
      break;
    }
    case 'Y': {
      int64_t value = 0;
      if (std::optional<ValueProblem> problem = ParseCurrency(text, &value)) return problem;
      bytes.resize(8);
      StoreLE64(bytes.data(), static_cast<uint64_t>(value));
      break;
    }
    case 'B': {
      std::string_view t = Trim(text);
      double v = 0;
      auto [end, ec] = std::from_chars(t.data() + (!t.empty() && t[0] == '+'), t.data() + t.size(), v);
      if (t.empty() || ec != std::errc() || end != t.data() + t.size() || !std::isfinite(v)) {
        return Problem(t, "is not a number");
      }
      uint64_t bits;
      std::memcpy(&bits, &v, sizeof bits);
      bytes.resize(8);
      StoreLE64(bytes.data(), bits);
      break;
    }
  }
  return std::nullopt;
}

std::optional<ValueProblem> FieldCodec::EncodeText(std::string_view text, std::string* bytes) const {
  try {
    code_page_.Encode(text, bytes);
  } catch (const Error& e) {
    if (e.kind() != ErrorKind::kInvalidValue) throw;
    return ValueProblem{"cannot be stored in the table's code page", e.what()};
  }
  return std::nullopt;
}

std::optional<ValueProblem> FieldCodec::EncodeMemo(std::string_view text, std::string* bytes) const {
  if (std::optional<ValueProblem> problem = EncodeText(text, bytes)) return problem;
  if (bytes->size() > kLongestMemoValue) {
    return ValueProblem{"is longer than FoxPro can hold in one value",
                        "the text needs " + std::to_string(bytes->size()) + " bytes, more than the " +
                            std::to_string(kLongestMemoValue) + " FoxPro can hold in one value"};
  }
  return std::nullopt;
}

uint32_t FieldCodec::MemoBlock(std::string_view record, const FieldDescriptor& f) const {
  std::string_view raw = record.substr(f.offset, f.length);
  if (f.length == 4) return LoadLE32(raw.data());
  uint32_t block = 0;
  for (char c : raw) {
    if (c == ' ' || c == '\0') continue;
    if (c < '0' || c > '9') Unreadable(f, "holds a malformed memo pointer");
    if (block > 429496728u) Unreadable(f, "holds a memo pointer that is too large");
    block = block * 10 + static_cast<uint32_t>(c - '0');
  }
  return block;
}

void FieldCodec::SetMemoBlock(std::string& record, const FieldDescriptor& f, uint32_t block) const {
  if (f.length == 4) {
    StoreLE32(record.data() + f.offset, block);
  } else {
    std::string digits = block == 0 ? std::string() : std::to_string(block);
    std::string raw = std::string(f.length - digits.size(), ' ') + digits;
    record.replace(f.offset, f.length, raw);
  }
  SetBit(record, header_, f.null_bit, false);
}

}  // namespace fox
