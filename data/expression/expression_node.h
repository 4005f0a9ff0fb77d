// The compiled form of an index expression, shared by its parser
// (expression_parser.cpp) and its evaluator (index_expression.cpp): the
// tree's node, the functions evaluated, and the values and refusals both
// make. Not part of the library's interface.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "data/expression/index_expression.h"
#include "data/util/error.h"

namespace fox {
namespace expression_internal {

using Type = ExpressionValue::Type;

[[noreturn]] inline void Unsupported(const std::string& why) { throw Error(ErrorKind::kUnsupported, why); }

enum class Function {
  kUpper,
  kLower,
  kAlltrim,
  kLtrim,
  kRtrim,
  kTrim,
  kPadl,
  kPadr,
  kLeft,
  kRight,
  kSubstr,
  kStr,
  kDtos,
  kTtoc,
  kBintoc,
  kDeleted,
  kIif,
  kEmpty,
  kIsnull,
  kNvl,
  kBetween,
  kInlist,
  kLen,
  kDate,
  kAt,
  kVal,
  kYear,
  kMonth,
  kDay,
  kIsblank,
  kOccurs,
  kChrtran,
  kStrtran,
  kIsdigit,
  kIsalpha,
  kAbs,
  kInt,
  kRound,
  kMod,
  kMax,
  kMin,
  kDatetime,
};

struct FunctionInfo {
  const char* name;
  Function function;
  size_t min_arguments;
  size_t max_arguments;
};

// The function `upper` names, in full or cut to four letters or more;
// refuses (Unsupported) a name that is not evaluated ("it calls name()",
// `as_written` being the name as the expression spells it) or is ambiguous.
const FunctionInfo& FindFunction(const std::string& upper, const std::string& as_written);

inline const char* TypeName(Type t) {
  switch (t) {
    case Type::kCharacter:
      return "character";
    case Type::kNumber:
    case Type::kInteger:
      return "numeric";
    case Type::kDate:
      return "date";
    case Type::kDateTime:
      return "datetime";
    case Type::kLogical:
      return "logical";
    case Type::kNull:
      break;
  }
  return "null";
}

inline bool Numeric(Type t) { return t == Type::kNumber || t == Type::kInteger; }

// ---------------------------------------------------------------------------
// Values

inline ExpressionValue Null() { return ExpressionValue{}; }
// A value of `type` with `member` set to `value`.
template <typename T>
ExpressionValue Made(Type type, T ExpressionValue::*member, T value) {
  ExpressionValue v;
  v.type = type;
  v.*member = std::move(value);
  return v;
}
inline ExpressionValue Character(std::string bytes) {
  return Made(Type::kCharacter, &ExpressionValue::bytes, std::move(bytes));
}
inline ExpressionValue Number(double n) { return Made(Type::kNumber, &ExpressionValue::number, n); }
inline ExpressionValue Logical(bool b) { return Made(Type::kLogical, &ExpressionValue::logical, b); }
inline ExpressionValue Date(int64_t day) { return Made(Type::kDate, &ExpressionValue::day, day); }

}  // namespace expression_internal

struct IndexExpression::Node {
  using Type = ExpressionValue::Type;
  using Function = expression_internal::Function;
  enum class Kind {
    kLiteral,
    kField,
    kNot,
    kAnd,
    kOr,
    kCompare,
    kAdd,
    kSubtract,
    kMultiply,
    kDivide,
    kModulo,
    kPower,
    kNegate,
    kCall,
  };
  Kind kind = Kind::kLiteral;
  Type type = Type::kNull;
  ExpressionValue literal;
  FieldDescriptor field;
  size_t column = 0;
  const FieldCodec* codec = nullptr;
  std::shared_ptr<const TextCase> text_case;
  std::string op;              // comparison operator: = == <> < > <= >= $
  bool set_exact_off = false;  // character = and <> with SET EXACT OFF
  Function function = Function::kUpper;
  std::vector<std::unique_ptr<Node>> args;

  struct Context {
    std::string_view record;
    const MemoValues* pending_memos;
    const std::function<std::string(std::string_view, const FieldDescriptor&)>* read_memo;
  };
  ExpressionValue Evaluate(const Context& ctx) const;

 private:
  // A function call: the functions that evaluate their arguments as they
  // need them, or take NULL, then Apply.
  ExpressionValue Call(const Context& ctx) const;
  // A function of its arguments' values, none of them NULL: text functions
  // here, the others in ApplyMore.
  ExpressionValue Apply(const std::vector<ExpressionValue>& v) const;
  ExpressionValue ApplyMore(const std::vector<ExpressionValue>& v) const;
};

}  // namespace fox
