#include "data/expression/index_expression.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>

#include "data/expression/expression_node.h"
#include "data/util/byte_order.h"
#include "data/util/error.h"
#include "data/util/local_time.h"

namespace fox {

using namespace expression_internal;

namespace {

bool AllBlank(std::string_view s) {
  for (char c : s)
    if (c != ' ' && c != '\0') return false;
  return true;
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\0')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.remove_suffix(1);
  return s;
}

[[noreturn]] void Unreadable(const FieldDescriptor& f, const std::string& why) {
  throw Error(ErrorKind::kCorrupt, "The stored value of field '" + f.name + "' " + why + ".");
}

ExpressionValue ReadField(std::string_view record, const FieldDescriptor& f, const FieldCodec& codec) {
  if (codec.IsNull(record, f)) return Null();
  std::string_view raw = record.substr(f.offset, f.length);
  switch (f.type) {
    case 'C':
    case 'V':
      return Character(std::string(codec.TextBytes(record, f)));
    case 'N':
    case 'F': {
      std::string_view t = TrimBlanks(raw);
      if (t.empty()) return Number(0);
      if (t.front() == '+') t.remove_prefix(1);
      double v = 0;
      auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
      if (ec != std::errc() || end != t.data() + t.size())
        Unreadable(f, "\"" + std::string(raw) + "\" is not a number");
      return Number(v);
    }
    case 'B': {
      double v;
      const uint64_t bits = LoadLE64(raw.data());
      std::memcpy(&v, &bits, sizeof v);
      return Number(v);
    }
    case 'Y':
      return Number(static_cast<double>(static_cast<int64_t>(LoadLE64(raw.data()))) / 10000);
    case 'I': {
      ExpressionValue v = Number(static_cast<int32_t>(LoadLE32(raw.data())));
      v.type = Type::kInteger;
      return v;
    }
    case 'D': {
      if (AllBlank(raw) || raw.find_first_not_of('0') == std::string_view::npos) return Date(0);
      int part[3] = {0, 0, 0};
      const size_t widths[3] = {4, 2, 2};
      size_t at = 0;
      for (int i = 0; i < 3; ++i) {
        auto [end, ec] = std::from_chars(raw.data() + at, raw.data() + at + widths[i], part[i]);
        if (ec != std::errc() || end != raw.data() + at + widths[i])
          Unreadable(f, "\"" + std::string(raw) + "\" is not a date");
        at += widths[i];
      }
      int y, m, d;
      const int64_t day = JulianDayNumber(part[0], part[1], part[2]);
      DateOfJulianDay(day, &y, &m, &d);
      if (part[0] < 1 || y != part[0] || m != part[1] || d != part[2])
        Unreadable(f, "\"" + std::string(raw) + "\" is not a date");
      return Date(day);
    }
    case 'T': {
      ExpressionValue v;
      v.type = Type::kDateTime;
      if (AllBlank(raw)) return v;
      v.day = static_cast<int32_t>(LoadLE32(raw.data()));
      v.millisecond = static_cast<int32_t>(LoadLE32(raw.data() + 4));
      if (v.day <= 0 && v.millisecond == 0) {
        v.day = 0;
        return v;
      }
      if (v.day <= 0 || v.millisecond < 0 || v.millisecond >= 86400000)
        Unreadable(f, "holds an impossible date and time");
      return v;
    }
    case 'L':
      return Logical(raw[0] == 'T' || raw[0] == 't' || raw[0] == 'Y' || raw[0] == 'y');
  }
  Unsupported("field '" + f.name + "' has a type that is not evaluated");
}

// The date of a date or datetime value, and the seconds of a datetime's time
// rounded as FoxPro shows them (some whole seconds are stored 1 ms short).
void DateAndTime(const ExpressionValue& v, int* y, int* m, int* d, int64_t* seconds) {
  int64_t day = v.day;
  *seconds = 0;
  if (v.type == Type::kDateTime) {
    *seconds = (v.millisecond + 500) / 1000;
    if (*seconds == 86400) {
      *seconds = 0;
      ++day;
    }
  }
  DateOfJulianDay(day, y, m, d);
  if (*y < 1 || *y > 9999) Unsupported("a date outside the years 1 to 9999");
}

std::string Digits(int64_t v, int width) {
  std::string s = std::to_string(v);
  return std::string(width > static_cast<int>(s.size()) ? width - s.size() : 0, '0') + s;
}

// A number rounded half away from zero to `decimals` places, from the
// shortest decimal form that reads back as the same double (the digits a
// person typed into the field): "12.35" for 12.345 at 2 decimals.
std::string RoundedDecimal(double v, int decimals, bool* negative) {
  *negative = std::signbit(v);
  char buffer[64];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, std::fabs(v), std::chars_format::scientific);
  if (ec != std::errc()) Unsupported("a number that cannot be formatted");
  std::string text(buffer, end);  // d.ddde+XX
  const size_t e = text.find('e');
  std::string digits = text.substr(0, 1) + (e > 2 ? text.substr(2, e - 2) : "");
  const int exponent = std::stoi(text.substr(e + 1));
  // value = 0.digits * 10^(exponent + 1): the point sits after `point` digits.
  int point = exponent + 1;
  if (point < 0) {
    digits.insert(0, static_cast<size_t>(-point), '0');
    point = 0;
  }
  if (static_cast<int>(digits.size()) < point) digits.append(point - digits.size(), '0');
  const int keep = point + decimals;
  if (static_cast<int>(digits.size()) > keep) {
    const bool up = digits[keep] >= '5';
    digits.resize(keep);
    if (up) {
      int i = keep - 1;
      for (; i >= 0 && digits[i] == '9'; --i) digits[i] = '0';
      if (i >= 0) {
        ++digits[i];
      } else {
        digits.insert(0, 1, '1');
        ++point;
      }
    }
  } else {
    digits.append(keep - digits.size(), '0');
  }
  std::string integer = digits.substr(0, point);
  integer.erase(0, std::min(integer.find_first_not_of('0'), integer.size()));
  if (integer.empty()) integer = "0";
  std::string result = integer;
  if (decimals > 0) result += "." + digits.substr(point);
  if (result.find_first_not_of("0.") == std::string::npos && *negative) {
    Unsupported("STR() of a negative number that rounds to zero");
  }
  return result;
}

// STR(value, width, decimals) as FoxPro writes it: right-aligned; asterisks
// when the integer part does not fit.
std::string Str(double v, int width, int decimals) {
  if (!std::isfinite(v)) Unsupported("STR() of a number that is not finite");
  if (std::fabs(v) >= 1e15) Unsupported("STR() of a number with more than 15 integer digits");
  bool negative = false;
  const std::string digits = RoundedDecimal(v, decimals, &negative);
  const std::string text = (negative ? "-" : "") + digits;
  if (static_cast<int>(text.size()) <= width) return std::string(width - text.size(), ' ') + text;
  const size_t integer_width = text.find('.') == std::string::npos ? text.size() : text.find('.');
  if (static_cast<int>(integer_width) <= width) {
    Unsupported("STR() that would have to drop decimals to fit its width");
  }
  return std::string(width, '*');
}

int IntegerArgument(const ExpressionValue& v, const char* function, int low, int high) {
  if (v.null()) Unsupported(std::string(function) + "() with a NULL length");
  if (v.number != std::floor(v.number) || v.number < low || v.number > high)
    Unsupported(std::string(function) + "() with the argument " + std::to_string(v.number));
  return static_cast<int>(v.number);
}

// -1, 0 or 1.
int Sign(int c) { return (c > 0) - (c < 0); }

bool Holds(const std::string& op, int c) {
  if (op == "=" || op == "==") return c == 0;
  if (op == "<>") return c != 0;
  if (op == "<") return c < 0;
  if (op == ">") return c > 0;
  if (op == "<=") return c <= 0;
  return c >= 0;
}

// Compares strings as FoxPro's "=", "<", ... do. With SET EXACT ON the
// shorter string is padded with blanks; with SET EXACT OFF the comparison
// ends with the right-hand string (an empty one equals anything) and a
// left-hand string that ends first is smaller (Microsoft's SET EXACT
// Command page, ODBC driver reference: "ab" = "ab " no match, "ab " = "ab"
// match, "ab" = "" match, "" = "   " no match). Where the setting is not
// known only results that both give are used; `exact_off` takes the OFF
// result for = and <>, the comparisons that page documents.
bool CompareStrings(const std::string& a, const std::string& b, const std::string& op, bool exact_off) {
  const size_t n = std::max(a.size(), b.size());
  std::string pa = a, pb = b;
  pa.resize(n, ' ');
  pb.resize(n, ' ');
  const int exact = Sign(pa.compare(pb));
  int loose;
  if (b.empty()) {
    loose = 0;
  } else {
    const size_t m = std::min(a.size(), b.size());
    loose = Sign(a.compare(0, m, b, 0, m));
    if (loose == 0 && a.size() < b.size()) loose = -1;
  }
  if (exact_off && (op == "=" || op == "<>")) return Holds(op, loose);
  if (Holds(op, exact) != Holds(op, loose))
    Unsupported("a comparison of strings whose result depends on SET EXACT");
  return Holds(op, exact);
}

// Compares two non-NULL values of one type (numbers of either kind) with
// `op` (not $).
bool CompareValues(const ExpressionValue& a, const ExpressionValue& b, const std::string& op,
                   bool exact_off) {
  int c;
  switch (a.type) {
    case Type::kCharacter:
      if (op != "==") return CompareStrings(a.bytes, b.bytes, op, exact_off);
      c = Sign(a.bytes.compare(b.bytes));
      break;
    case Type::kNumber:
    case Type::kInteger:
      c = (a.number > b.number) - (a.number < b.number);
      break;
    case Type::kDate:
    case Type::kDateTime:
      c = a.day != b.day ? (a.day > b.day) - (a.day < b.day)
                         : (a.millisecond > b.millisecond) - (a.millisecond < b.millisecond);
      break;
    case Type::kLogical:
      c = a.logical == b.logical ? 0 : 1;
      break;
    default:
      c = 0;
  }
  return Holds(op, c);
}

// The Julian day number of today's local date, for DATE().
int64_t Today() {
  const std::tm now = LocalTime(std::time(nullptr));
  return JulianDayNumber(now.tm_year + 1900, now.tm_mon + 1, now.tm_mday);
}

// Today's local date and time, for DATETIME(), to the second.
ExpressionValue Now() {
  const std::time_t now = std::time(nullptr);
  const std::tm local = LocalTime(now);
  ExpressionValue v = Date(JulianDayNumber(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday));
  v.type = Type::kDateTime;
  v.millisecond = (local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec) * int64_t{1000};
  return v;
}

// FoxPro's MOD() and %: the remainder takes the divisor's sign.
double Modulo(double a, double b) { return a - b * std::floor(a / b); }

double Power(double a, double b) {
  const double result = std::pow(a, b);
  if (!std::isfinite(result)) Unsupported("a power that is not a finite number");
  return result;
}

// ROUND(value, decimals): half away from zero, from the digits the value
// was typed with (as STR() rounds).
double Round(double v, int decimals) {
  if (!std::isfinite(v) || std::fabs(v) >= 1e15) Unsupported("ROUND() of a number with more than 15 digits");
  const double scale = std::pow(10.0, decimals < 0 ? -decimals : 0);
  bool negative = false;
  const std::string text = RoundedDecimal(std::fabs(v) / scale, decimals < 0 ? 0 : decimals, &negative);
  double rounded = 0;
  std::from_chars(text.data(), text.data() + text.size(), rounded);
  rounded *= scale;
  return std::signbit(v) ? -rounded : rounded;
}

// VAL(): the number a text begins with (blanks, a sign, digits, a point
// and digits), 0 when it begins with none.
double Val(const std::string& s) {
  size_t i = s.find_first_not_of(' ');
  if (i == std::string::npos) return 0;
  const size_t start = i;
  if (s[i] == '+' || s[i] == '-') ++i;
  const size_t digits = i;
  while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i;
  if (i < s.size() && s[i] == '.') ++i;
  while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) Unsupported("VAL() of a number with an exponent");
  std::string number = s.substr(start, i - start);
  if (!number.empty() && number[0] == '+') number.erase(0, 1);
  if (i == digits || number == "-" || number == "." || number == "-.") return 0;
  double v = 0;
  std::from_chars(number.data(), number.data() + number.size(), v);
  return v;
}

// How often `needle` occurs in `text`; refused where overlapping
// occurrences would count otherwise than separate ones.
size_t Occurrences(const std::string& needle, const std::string& text) {
  if (needle.empty()) return 0;
  size_t separate = 0, overlapping = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size()))
    ++separate;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++overlapping;
  if (separate != overlapping) Unsupported("OCCURS() of a text whose occurrences overlap");
  return separate;
}

// Conversion of a NULL argument: most functions and operators give NULL.
bool AnyNull(const std::vector<ExpressionValue>& values) {
  for (const auto& v : values)
    if (v.null()) return true;
  return false;
}

}  // namespace

ExpressionValue IndexExpression::Node::Evaluate(const Context& ctx) const {
  const std::string_view record = ctx.record;
  switch (kind) {
    case Kind::kLiteral:
      return literal;
    case Kind::kField:
      if (field.is_memo()) {
        if (codec->IsNull(record, field)) return Null();
        if (ctx.pending_memos) {
          auto pending = ctx.pending_memos->find(column);
          if (pending != ctx.pending_memos->end()) return Character(pending->second);
        }
        return Character((*ctx.read_memo)(record, field));
      }
      return ReadField(record, field, *codec);
    case Kind::kNot: {
      ExpressionValue v = args[0]->Evaluate(ctx);
      return v.null() ? v : Logical(!v.logical);
    }
    case Kind::kAnd:
    case Kind::kOr: {
      const bool is_and = kind == Kind::kAnd;
      ExpressionValue a = args[0]->Evaluate(ctx);
      ExpressionValue b = args[1]->Evaluate(ctx);
      // .F. .AND. anything is .F. and .T. .OR. anything is .T., NULL included.
      if ((!a.null() && a.logical != is_and) || (!b.null() && b.logical != is_and)) return Logical(!is_and);
      if (a.null() || b.null()) return Null();
      return Logical(is_and);
    }
    case Kind::kCompare: {
      ExpressionValue a = args[0]->Evaluate(ctx);
      ExpressionValue b = args[1]->Evaluate(ctx);
      if (a.null() || b.null()) return Null();
      if (op == "$") {
        if (a.bytes.empty()) Unsupported("$ with an empty string on its left");
        return Logical(b.bytes.find(a.bytes) != std::string::npos);
      }
      return Logical(CompareValues(a, b, op, set_exact_off));
    }
    case Kind::kAdd:
    case Kind::kSubtract: {
      ExpressionValue a = args[0]->Evaluate(ctx);
      ExpressionValue b = args[1]->Evaluate(ctx);
      if (a.null() || b.null()) return Null();
      const double sign = kind == Kind::kAdd ? 1 : -1;
      if (type == Type::kCharacter) return Character(a.bytes + b.bytes);
      if (type == Type::kNumber) return Number(a.number + sign * b.number);
      // A date moved by whole days.
      if (b.number != std::floor(b.number)) Unsupported("a date moved by a fraction of a day");
      if (a.day == 0) Unsupported("an empty date moved by days");
      return Date(a.day + static_cast<int64_t>(sign * b.number));
    }
    case Kind::kMultiply:
    case Kind::kDivide:
    case Kind::kModulo:
    case Kind::kPower: {
      ExpressionValue a = args[0]->Evaluate(ctx);
      ExpressionValue b = args[1]->Evaluate(ctx);
      if (a.null() || b.null()) return Null();
      if (kind == Kind::kMultiply) return Number(a.number * b.number);
      if (kind == Kind::kPower) return Number(Power(a.number, b.number));
      if (b.number == 0) Unsupported("a division by zero");
      if (kind == Kind::kModulo) return Number(Modulo(a.number, b.number));
      return Number(a.number / b.number);
    }
    case Kind::kNegate: {
      ExpressionValue a = args[0]->Evaluate(ctx);
      return a.null() ? a : Number(-a.number);
    }
    case Kind::kCall:
      return Call(ctx);
  }
  Unsupported("an expression that is not evaluated");
}

ExpressionValue IndexExpression::Node::Call(const Context& ctx) const {
  const std::string_view record = ctx.record;
  // Functions whose arguments are not all evaluated, or that take NULL.
  switch (function) {
    case Function::kDeleted:
      return Logical(!record.empty() && record[0] == '*');
    case Function::kIif: {
      ExpressionValue c = args[0]->Evaluate(ctx);
      if (c.null()) Unsupported("IIF() with a NULL condition");
      ExpressionValue v = args[c.logical ? 1 : 2]->Evaluate(ctx);
      if (type == Type::kNumber && v.type == Type::kInteger) v.type = Type::kNumber;
      return v;
    }
    case Function::kNvl: {
      ExpressionValue v = args[0]->Evaluate(ctx);
      if (v.null()) v = args[1]->Evaluate(ctx);
      if (type == Type::kNumber && v.type == Type::kInteger) v.type = Type::kNumber;
      return v;
    }
    case Function::kIsnull:
      return Logical(args[0]->Evaluate(ctx).null());
    case Function::kDate:
      if (args.empty()) return Date(Today());
      break;
    case Function::kDatetime:
      return Now();
    case Function::kEmpty: {
      ExpressionValue v = args[0]->Evaluate(ctx);
      switch (v.type) {
        case Type::kNull:
          return Logical(false);
        case Type::kCharacter:
          return Logical(v.bytes.find_first_not_of(" \t\r\n") == std::string::npos);
        case Type::kNumber:
        case Type::kInteger:
          return Logical(v.number == 0);
        case Type::kDate:
        case Type::kDateTime:
          return Logical(v.day == 0);
        case Type::kLogical:
          return Logical(!v.logical);
      }
      return Logical(false);
    }
    default:
      break;
  }

  std::vector<ExpressionValue> v;
  for (const auto& a : args) v.push_back(a->Evaluate(ctx));
  if (AnyNull(v)) return Null();
  return Apply(v);
}

ExpressionValue IndexExpression::Node::Apply(const std::vector<ExpressionValue>& v) const {
  const std::string& s = v[0].bytes;
  switch (function) {
    case Function::kUpper:
    case Function::kLower: {
      std::optional<std::string> out =
          function == Function::kUpper ? text_case->Upper(s) : text_case->Lower(s);
      if (!out) Unsupported("a letter whose upper or lower case in FoxPro is not known");
      return Character(*out);
    }
    case Function::kAlltrim:
    case Function::kLtrim:
    case Function::kRtrim:
    case Function::kTrim: {
      size_t begin = 0, end = s.size();
      if (function == Function::kAlltrim || function == Function::kLtrim)
        while (begin < end && s[begin] == ' ') ++begin;
      if (function != Function::kLtrim)
        while (end > begin && s[end - 1] == ' ') --end;
      return Character(s.substr(begin, end - begin));
    }
    case Function::kPadl:
    case Function::kPadr: {
      const int width = IntegerArgument(v[1], function == Function::kPadl ? "PADL" : "PADR", 0, 65535);
      char fill = ' ';
      if (v.size() == 3) {
        if (v[2].bytes.empty()) Unsupported("PADL()/PADR() with an empty fill string");
        fill = v[2].bytes[0];
      }
      const size_t n = static_cast<size_t>(width);
      if (s.size() >= n) {
        if (function == Function::kPadl && s.size() > n)
          Unsupported("PADL() of a string longer than its width");
        return Character(s.substr(0, n));
      }
      return Character(function == Function::kPadl ? std::string(n - s.size(), fill) + s
                                                   : s + std::string(n - s.size(), fill));
    }
    case Function::kLeft:
    case Function::kRight: {
      const double n = v[1].number;
      if (n != std::floor(n)) Unsupported("LEFT()/RIGHT() with a fractional length");
      const size_t count = n <= 0                               ? 0
                           : n >= static_cast<double>(s.size()) ? s.size()
                                                                : static_cast<size_t>(n);
      return Character(function == Function::kLeft ? s.substr(0, count) : s.substr(s.size() - count));
    }
    case Function::kSubstr: {
      const int start = IntegerArgument(v[1], "SUBSTR", 1, std::numeric_limits<int>::max());
      if (static_cast<size_t>(start) > s.size()) return Character("");
      size_t count = std::string::npos;
      if (v.size() == 3)
        count = static_cast<size_t>(IntegerArgument(v[2], "SUBSTR", 0, std::numeric_limits<int>::max()));
      return Character(s.substr(start - 1, count));
    }
    case Function::kStr: {
      const int width = v.size() > 1 ? IntegerArgument(v[1], "STR", 1, 255) : 10;
      const int decimals = v.size() > 2 ? IntegerArgument(v[2], "STR", 0, 18) : 0;
      return Character(Str(v[0].number, width, decimals));
    }
    case Function::kDtos:
    case Function::kTtoc: {
      const ExpressionValue& d = v[0];
      if (d.day == 0) {
        if (function == Function::kTtoc) Unsupported("TTOC() of an empty value");
        return Character(std::string(8, ' '));
      }
      int y, m, dd;
      int64_t seconds;
      DateAndTime(d, &y, &m, &dd, &seconds);
      std::string out = Digits(y, 4) + Digits(m, 2) + Digits(dd, 2);
      if (function == Function::kTtoc)
        out += Digits(seconds / 3600, 2) + Digits(seconds / 60 % 60, 2) + Digits(seconds % 60, 2);
      return Character(out);
    }
    default:
      break;
  }
  return ApplyMore(v);
}

ExpressionValue IndexExpression::Node::ApplyMore(const std::vector<ExpressionValue>& v) const {
  const std::string& s = v[0].bytes;
  switch (function) {
    case Function::kBetween:
      return Logical(CompareValues(v[0], v[1], ">=", false) && CompareValues(v[0], v[2], "<=", false));
    case Function::kInlist:
      for (size_t i = 1; i < v.size(); ++i)
        if (CompareValues(v[0], v[i], "=", false)) return Logical(true);
      return Logical(false);
    case Function::kLen:
      return Number(static_cast<double>(s.size()));
    case Function::kAt: {
      const int nth = v.size() > 2 ? IntegerArgument(v[2], "AT", 1, std::numeric_limits<int>::max()) : 1;
      const std::string& text = v[1].bytes;
      if (s.empty()) return Number(0);
      size_t at = text.find(s);
      for (int i = 1; i < nth && at != std::string::npos; ++i) at = text.find(s, at + 1);
      return Number(at == std::string::npos ? 0 : static_cast<double>(at + 1));
    }
    case Function::kOccurs:
      return Number(static_cast<double>(Occurrences(s, v[1].bytes)));
    case Function::kVal:
      return Number(Val(s));
    case Function::kYear:
    case Function::kMonth:
    case Function::kDay: {
      if (v[0].day == 0) return Number(0);
      int y, m, d;
      int64_t seconds;
      DateAndTime(v[0], &y, &m, &d, &seconds);
      return Number(function == Function::kYear ? y : function == Function::kMonth ? m : d);
    }
    case Function::kIsblank:
      if (v[0].type == Type::kCharacter) return Logical(s.find_first_not_of(' ') == std::string::npos);
      return Logical(v[0].day == 0);
    case Function::kChrtran: {
      const std::string &from = v[1].bytes, &to = v[2].bytes;
      std::string out;
      for (char c : s) {
        const size_t at = from.find(c);
        if (at == std::string::npos) {
          out += c;
        } else if (at < to.size()) {
          out += to[at];
        }
      }
      return Character(out);
    }
    case Function::kStrtran: {
      const std::string& find = v[1].bytes;
      const std::string replace = v.size() > 2 ? v[2].bytes : "";
      if (find.empty()) return Character(s);
      std::string out;
      size_t from = 0;
      for (size_t at = s.find(find); at != std::string::npos; at = s.find(find, from)) {
        out.append(s, from, at - from).append(replace);
        from = at + find.size();
      }
      return Character(out.append(s, from));
    }
    case Function::kIsdigit:
    case Function::kIsalpha: {
      if (s.empty()) return Logical(false);
      const unsigned char c = static_cast<unsigned char>(s[0]);
      if (function == Function::kIsdigit) return Logical(c >= '0' && c <= '9');
      if (c >= 0x80) Unsupported("ISALPHA() of a character outside ASCII, which depends on the code page");
      return Logical(std::isalpha(c) != 0);
    }
    case Function::kAbs:
      return Number(std::fabs(v[0].number));
    case Function::kInt:
      return Number(std::trunc(v[0].number));
    case Function::kRound:
      return Number(Round(v[0].number, IntegerArgument(v[1], "ROUND", -15, 15)));
    case Function::kMod:
      if (v[1].number == 0) Unsupported("MOD() by zero");
      return Number(Modulo(v[0].number, v[1].number));
    case Function::kMax:
    case Function::kMin: {
      size_t best = 0;
      for (size_t i = 1; i < v.size(); ++i)
        if (CompareValues(v[i], v[best], function == Function::kMax ? ">" : "<", false)) best = i;
      ExpressionValue result = v[best];
      if (type == Type::kNumber) result.type = Type::kNumber;
      return result;
    }
    case Function::kDate: {
      const int year = IntegerArgument(v[0], "DATE", 100, 9999);
      const int month = IntegerArgument(v[1], "DATE", 1, 12);
      const int day = IntegerArgument(v[2], "DATE", 1, 31);
      const int64_t julian = JulianDayNumber(year, month, day);
      int y, m, d;
      DateOfJulianDay(julian, &y, &m, &d);
      if (y != year || m != month || d != day) Unsupported("DATE() of a day that does not exist");
      return Date(julian);
    }
    case Function::kBintoc: {
      const int size = v.size() > 1 ? static_cast<int>(v[1].number) : 4;
      const double n = v[0].number;
      const double low = -std::ldexp(1.0, 8 * size - 1), high = std::ldexp(1.0, 8 * size - 1) - 1;
      if (n != std::floor(n) || n < low || n > high) Unsupported("BINTOC() of a value outside its size");
      const uint32_t biased = static_cast<uint32_t>(static_cast<int64_t>(n) - static_cast<int64_t>(low));
      std::string out(static_cast<size_t>(size), '\0');
      for (int i = 0; i < size; ++i) out[i] = static_cast<char>(biased >> (8 * (size - 1 - i)));
      return Character(out);
    }
    default:
      break;
  }
  Unsupported("a function that is not evaluated");
}

// ---------------------------------------------------------------------------

IndexExpression::IndexExpression() = default;
IndexExpression::IndexExpression(IndexExpression&&) noexcept = default;
IndexExpression& IndexExpression::operator=(IndexExpression&&) noexcept = default;
IndexExpression::~IndexExpression() = default;

ExpressionValue IndexExpression::Evaluate(std::string_view record, const MemoValues* pending_memos) const {
  return root_->Evaluate(Node::Context{record, pending_memos, &read_memo_});
}

}  // namespace fox
