// The tokens of a FoxPro expression as it is stored in an index tag header:
// names, numbers, string literals, dotted words (.AND., .T., ...), brackets,
// commas, the alias qualifiers "." and "->", and one-character operators.
// Shared by the scan of the names an expression refers to and by the
// evaluator of key and filter expressions.
#pragma once

#include <string>
#include <vector>

namespace fox {

struct ExpressionToken {
  enum Kind { kName, kNumber, kString, kDotWord, kOpen, kClose, kComma, kDot, kArrow, kOperator };
  Kind kind;
  std::string text;      // names and dot words in upper case; strings without their quotes
  size_t position = 0;   // of the token's first character in the expression
  bool complete = true;  // false for a string literal that runs to the end unterminated
};

// Splits an expression into tokens. Never fails: characters it does not know
// become one-character operators.
std::vector<ExpressionToken> TokenizeExpression(const std::string& expression);

// True for AND, OR and NOT written without dots, which FoxPro accepts too.
bool IsBareLogicalOperator(const ExpressionToken& token);

}  // namespace fox
