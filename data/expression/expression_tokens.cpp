#include "data/expression/expression_tokens.h"

#include <cctype>

namespace fox {
namespace {

bool IsNameStart(unsigned char c) { return std::isalpha(c) || c == '_' || c >= 0x80; }
bool IsNameChar(unsigned char c) { return IsNameStart(c) || std::isdigit(c); }

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// The dotted words of FoxPro: logical operators and constants.
bool IsDotWord(const std::string& upper) {
  return upper == "AND" || upper == "OR" || upper == "NOT" || upper == "T" || upper == "F" || upper == "Y" ||
         upper == "N" || upper == "NULL";
}

// Whether the point at `i` begins a dotted word: .AND., .T., ...
bool StartsDotWord(const std::string& e, size_t i) {
  size_t end = i + 1;
  while (end < e.size() && std::isalpha(static_cast<unsigned char>(e[end]))) ++end;
  return end > i + 1 && end < e.size() && e[end] == '.' && IsDotWord(Upper(e.substr(i + 1, end - i - 1)));
}

}  // namespace

std::vector<ExpressionToken> TokenizeExpression(const std::string& e) {
  using Token = ExpressionToken;
  std::vector<Token> tokens;
  size_t i = 0;
  const size_t n = e.size();
  auto at = [&](size_t k) -> unsigned char { return k < n ? static_cast<unsigned char>(e[k]) : 0; };
  while (i < n) {
    const unsigned char c = at(i);
    const size_t start = i;
    if (std::isspace(c)) {
      ++i;
    } else if (c == '\'' || c == '"' || c == '[') {
      const char close = c == '[' ? ']' : static_cast<char>(c);
      size_t end = e.find(close, i + 1);
      const bool complete = end != std::string::npos;
      if (!complete) end = n - 1;  // unterminated: the rest is the string
      tokens.push_back({Token::kString, e.substr(i + 1, end - i - 1), start, complete});
      i = end + 1;
    } else if (std::isdigit(c) || (c == '.' && std::isdigit(at(i + 1)))) {
      // Digits, a point and digits, then an exponent: a point that begins
      // a dotted word (0.AND.) is not the number's.
      while (std::isdigit(at(i))) ++i;
      if (at(i) == '.' && !StartsDotWord(e, i)) {
        ++i;
        while (std::isdigit(at(i))) ++i;
      }
      const size_t sign = at(i + 1) == '+' || at(i + 1) == '-' ? 1 : 0;
      if ((at(i) == 'e' || at(i) == 'E') && std::isdigit(at(i + 1 + sign))) {
        i += 1 + sign;
        while (std::isdigit(at(i))) ++i;
      }
      tokens.push_back({Token::kNumber, e.substr(start, i - start), start});
    } else if (c == '.') {
      size_t end = i + 1;
      while (end < n && std::isalpha(at(end))) ++end;
      std::string word = Upper(e.substr(i + 1, end - i - 1));
      if (end < n && at(end) == '.' && IsDotWord(word)) {
        tokens.push_back({Token::kDotWord, word, start});
        i = end + 1;
      } else {
        tokens.push_back({Token::kDot, ".", start});
        ++i;
      }
    } else if (IsNameStart(c)) {
      while (i < n && IsNameChar(at(i))) ++i;
      tokens.push_back({Token::kName, Upper(e.substr(start, i - start)), start});
    } else if (c == '-' && at(i + 1) == '>') {
      tokens.push_back({Token::kArrow, "->", start});
      i += 2;
    } else if (c == '(') {
      tokens.push_back({Token::kOpen, "(", start});
      ++i;
    } else if (c == ')') {
      tokens.push_back({Token::kClose, ")", start});
      ++i;
    } else if (c == ',') {
      tokens.push_back({Token::kComma, ",", start});
      ++i;
    } else {
      tokens.push_back({Token::kOperator, std::string(1, static_cast<char>(c)), start});
      ++i;
    }
  }
  return tokens;
}

bool IsBareLogicalOperator(const ExpressionToken& t) {
  return t.kind == ExpressionToken::kName && (t.text == "AND" || t.text == "OR" || t.text == "NOT");
}

}  // namespace fox
