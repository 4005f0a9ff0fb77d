// The parser of index expressions: their tokens made into the tree of nodes
// that index_expression.cpp evaluates, every name resolved against the
// table's fields and every type checked, so that what cannot be evaluated
// for sure is refused when the expression is compiled.
#include <charconv>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "data/expression/expression_node.h"
#include "data/expression/expression_tokens.h"
#include "data/expression/index_expression.h"

namespace fox {
namespace expression_internal {

constexpr FunctionInfo kFunctions[] = {
    {"UPPER", Function::kUpper, 1, 1},     {"LOWER", Function::kLower, 1, 1},
    {"ALLTRIM", Function::kAlltrim, 1, 1}, {"LTRIM", Function::kLtrim, 1, 1},
    {"RTRIM", Function::kRtrim, 1, 1},     {"TRIM", Function::kTrim, 1, 1},
    {"PADL", Function::kPadl, 2, 3},       {"PADR", Function::kPadr, 2, 3},
    {"LEFT", Function::kLeft, 2, 2},       {"RIGHT", Function::kRight, 2, 2},
    {"SUBSTR", Function::kSubstr, 2, 3},   {"STR", Function::kStr, 1, 3},
    {"DTOS", Function::kDtos, 1, 1},       {"TTOC", Function::kTtoc, 2, 2},
    {"BINTOC", Function::kBintoc, 1, 2},   {"DELETED", Function::kDeleted, 0, 0},
    {"IIF", Function::kIif, 3, 3},         {"EMPTY", Function::kEmpty, 1, 1},
    {"ISNULL", Function::kIsnull, 1, 1},   {"NVL", Function::kNvl, 2, 2},
    {"BETWEEN", Function::kBetween, 3, 3}, {"INLIST", Function::kInlist, 2, 255},
    {"LEN", Function::kLen, 1, 1},         {"DATE", Function::kDate, 0, 3},
    {"AT", Function::kAt, 2, 3},           {"VAL", Function::kVal, 1, 1},
    {"YEAR", Function::kYear, 1, 1},       {"MONTH", Function::kMonth, 1, 1},
    {"DAY", Function::kDay, 1, 1},         {"ISBLANK", Function::kIsblank, 1, 1},
    {"OCCURS", Function::kOccurs, 2, 2},   {"CHRTRAN", Function::kChrtran, 3, 3},
    {"STRTRAN", Function::kStrtran, 2, 3}, {"ISDIGIT", Function::kIsdigit, 1, 1},
    {"ISALPHA", Function::kIsalpha, 1, 1}, {"ABS", Function::kAbs, 1, 1},
    {"INT", Function::kInt, 1, 1},         {"ROUND", Function::kRound, 2, 2},
    {"MOD", Function::kMod, 2, 2},         {"MAX", Function::kMax, 2, 255},
    {"MIN", Function::kMin, 2, 255},       {"DATETIME", Function::kDatetime, 0, 0},
};

// FoxPro functions not evaluated here whose names begin like one that is:
// an abbreviation they share names neither for sure.
constexpr const char* kOtherFunctions[] = {
    "SUBSTRC",    "LEFTC",       "RIGHTC",    "PADC",      "STREXTRACT", "STRCONV",    "STRTOFILE",
    "DTOC",       "DTOT",        "TTOD",      "EMPTY",     "LOWER",      "UPPER",      "ISNULL",
    "ALLTRIM",    "TRIM",        "DELETED",   "TRANSFORM", "LTRIM",      "RTRIM",      "LENC",
    "BETWEEN",    "INLIST",      "CHRTRANC",  "ISLOWER",   "ISUPPER",    "ISLEADBYTE", "ISMOUSE",
    "ISREADONLY", "ISEXCLUSIVE", "ISFLOCKED", "ISRLOCKED", "ISCOLOR",
};

const FunctionInfo& FindFunction(const std::string& upper, const std::string& as_written) {
  for (const FunctionInfo& f : kFunctions)
    if (upper == f.name) return f;
  const FunctionInfo* found = nullptr;
  bool ambiguous = false;
  if (upper.size() >= 4) {
    for (const FunctionInfo& f : kFunctions) {
      if (std::strncmp(f.name, upper.c_str(), upper.size()) != 0) continue;
      ambiguous = ambiguous || (found && found->function != f.function);
      found = &f;
    }
    for (const char* other : kOtherFunctions) {
      if (std::strncmp(other, upper.c_str(), upper.size()) == 0 &&
          (!found || other != std::string(found->name)))
        ambiguous = true;
    }
  }
  if (!found) Unsupported("it calls " + as_written + "()");
  if (ambiguous) Unsupported("it calls " + as_written + "(), which may name more than one FoxPro function");
  return *found;
}

}  // namespace expression_internal

using namespace expression_internal;
using Token = ExpressionToken;

namespace {

class Parser {
 public:
  Parser(const std::string& text, const ExpressionSchema& schema, const ExpressionOptions& options,
         std::set<size_t>* columns, bool* deleted)
      : text_(text),
        tokens_(TokenizeExpression(text)),
        schema_(schema),
        options_(options),
        columns_(columns),
        deleted_(deleted) {}

  std::unique_ptr<IndexExpression::Node> Parse() {
    if (tokens_.empty()) Unsupported("the expression is empty");
    auto node = ParseOr();
    if (pos_ < tokens_.size()) Unsupported("\"" + text_.substr(tokens_[pos_].position) + "\" cannot be read");
    return node;
  }

 private:
  using Node = IndexExpression::Node;
  using NodePtr = std::unique_ptr<Node>;

  const Token* Peek(size_t ahead = 0) const {
    return pos_ + ahead < tokens_.size() ? &tokens_[pos_ + ahead] : nullptr;
  }

  // An operator of one or two characters at the current token.
  std::string PeekOperator() const {
    const Token* t = Peek();
    if (!t || t->kind != Token::kOperator) return "";
    std::string op = t->text;
    const Token* next = Peek(1);
    if (next && next->kind == Token::kOperator && next->position == t->position + 1) {
      const std::string two = op + next->text;
      if (two == "==" || two == "<>" || two == "<=" || two == ">=" || two == "=<" || two == "=>" ||
          two == "!=" || two == "**")
        return two;
    }
    return op;
  }

  bool IsWord(const Token* t, const char* word) const {
    return t && (t->kind == Token::kDotWord || t->kind == Token::kName) && t->text == word;
  }

  static NodePtr Make(Node::Kind kind, Type type) {
    auto n = std::make_unique<Node>();
    n->kind = kind;
    n->type = type;
    return n;
  }

  static void ExpectType(const Node& n, Type t, const std::string& where) {
    if (n.type != t)
      Unsupported(where + " needs a " + TypeName(t) + " value, not a " + TypeName(n.type) + " one");
  }
  static void ExpectNumeric(const Node& n, const std::string& where) {
    if (!Numeric(n.type))
      Unsupported(where + " needs a numeric value, not a " + std::string(TypeName(n.type)) + " one");
  }

  NodePtr ParseOr() {
    NodePtr left = ParseAnd();
    while (IsWord(Peek(), "OR")) {
      ++pos_;
      NodePtr right = ParseAnd();
      ExpectType(*left, Type::kLogical, ".OR.");
      ExpectType(*right, Type::kLogical, ".OR.");
      NodePtr n = Make(Node::Kind::kOr, Type::kLogical);
      n->args.push_back(std::move(left));
      n->args.push_back(std::move(right));
      left = std::move(n);
    }
    return left;
  }

  NodePtr ParseAnd() {
    NodePtr left = ParseNot();
    while (IsWord(Peek(), "AND")) {
      ++pos_;
      NodePtr right = ParseNot();
      ExpectType(*left, Type::kLogical, ".AND.");
      ExpectType(*right, Type::kLogical, ".AND.");
      NodePtr n = Make(Node::Kind::kAnd, Type::kLogical);
      n->args.push_back(std::move(left));
      n->args.push_back(std::move(right));
      left = std::move(n);
    }
    return left;
  }

  NodePtr ParseNot() {
    if (IsWord(Peek(), "NOT") || PeekOperator() == "!") {
      ++pos_;
      NodePtr operand = ParseNot();
      ExpectType(*operand, Type::kLogical, ".NOT.");
      NodePtr n = Make(Node::Kind::kNot, Type::kLogical);
      n->args.push_back(std::move(operand));
      return n;
    }
    return ParseComparison();
  }

  NodePtr ParseComparison() {
    NodePtr left = ParseAdditive();
    std::string op = PeekOperator();
    if (op == "#" || op == "!=") op = "<>";
    if (op == "=<") op = "<=";
    if (op == "=>") op = ">=";
    if (op != "=" && op != "==" && op != "<>" && op != "<" && op != ">" && op != "<=" && op != ">=" &&
        op != "$")
      return left;
    pos_ += PeekOperator().size();
    NodePtr right = ParseAdditive();
    const Type a = left->type, b = right->type;
    const bool same = a == b || (Numeric(a) && Numeric(b));
    if (!same)
      Unsupported(std::string("a comparison of a ") + TypeName(a) + " with a " + TypeName(b) + " value");
    if (op == "$" && a != Type::kCharacter) Unsupported("$ needs character values");
    if (op == "==" && a != Type::kCharacter) op = "=";
    if (a == Type::kLogical && op != "=" && op != "<>") Unsupported("logical values compared with " + op);
    NodePtr n = Make(Node::Kind::kCompare, Type::kLogical);
    n->op = op;
    n->set_exact_off = options_.set_exact_off;
    n->args.push_back(std::move(left));
    n->args.push_back(std::move(right));
    if (!PeekOperator().empty() && std::strchr("=<>#$", PeekOperator()[0]))
      Unsupported("comparisons in a row without brackets");
    return n;
  }

  NodePtr ParseAdditive() {
    NodePtr left = ParseMultiplicative();
    for (;;) {
      const std::string op = PeekOperator();
      if (op != "+" && op != "-") return left;
      ++pos_;
      NodePtr right = ParseMultiplicative();
      const Type a = left->type, b = right->type;
      Type result;
      if (a == Type::kCharacter && b == Type::kCharacter && op == "+") {
        result = Type::kCharacter;
      } else if (Numeric(a) && Numeric(b)) {
        result = Type::kNumber;
      } else if (a == Type::kDate && Numeric(b)) {
        result = Type::kDate;
      } else {
        Unsupported(std::string("the operator ") + op + " on " + TypeName(a) + " and " + TypeName(b) +
                    " values");
      }
      NodePtr n = Make(op == "+" ? Node::Kind::kAdd : Node::Kind::kSubtract, result);
      n->args.push_back(std::move(left));
      n->args.push_back(std::move(right));
      left = std::move(n);
    }
  }

  NodePtr ParseMultiplicative() {
    NodePtr left = ParseUnary();
    for (;;) {
      const std::string op = PeekOperator();
      if (op != "*" && op != "/" && op != "%") return left;
      ++pos_;
      NodePtr right = ParseUnary();
      ExpectNumeric(*left, op);
      ExpectNumeric(*right, op);
      NodePtr n = Make(op == "*"   ? Node::Kind::kMultiply
                       : op == "/" ? Node::Kind::kDivide
                                   : Node::Kind::kModulo,
                       Type::kNumber);
      n->args.push_back(std::move(left));
      n->args.push_back(std::move(right));
      left = std::move(n);
    }
  }

  NodePtr ParseUnary() {
    const std::string op = PeekOperator();
    if (op == "-" || op == "+") {
      ++pos_;
      NodePtr operand = ParseUnary();
      ExpectNumeric(*operand, "unary " + op);
      if (op == "+") {
        if (operand->type == Type::kInteger) operand->type = Type::kNumber;  // no longer a bare integer field
        return operand;
      }
      NodePtr n = Make(Node::Kind::kNegate, Type::kNumber);
      n->args.push_back(std::move(operand));
      return n;
    }
    return ParsePower();
  }

  // ^ and **, which bind before the other operators, from left to right.
  NodePtr ParsePower() {
    NodePtr left = ParsePrimary();
    for (std::string op = PeekOperator(); op == "^" || op == "**"; op = PeekOperator()) {
      pos_ += op.size();
      NodePtr right = ParsePrimary();
      ExpectNumeric(*left, op);
      ExpectNumeric(*right, op);
      NodePtr n = Make(Node::Kind::kPower, Type::kNumber);
      n->args.push_back(std::move(left));
      n->args.push_back(std::move(right));
      left = std::move(n);
    }
    return left;
  }

  NodePtr ParsePrimary() {
    const Token* t = Peek();
    if (!t) Unsupported("the expression ends too early");
    switch (t->kind) {
      case Token::kString: {
        if (!t->complete) Unsupported("a string that is not closed");
        ++pos_;
        NodePtr n = Make(Node::Kind::kLiteral, Type::kCharacter);
        n->literal = Character(t->text);
        return n;
      }
      case Token::kNumber: {
        ++pos_;
        double v = 0;
        auto [end, ec] = std::from_chars(t->text.data(), t->text.data() + t->text.size(), v);
        if (ec != std::errc() || end != t->text.data() + t->text.size())
          Unsupported("\"" + t->text + "\" is not a number");
        NodePtr n = Make(Node::Kind::kLiteral, Type::kNumber);
        n->literal = Number(v);
        return n;
      }
      case Token::kDotWord: {
        if (t->text == "T" || t->text == "Y" || t->text == "F" || t->text == "N") {
          ++pos_;
          NodePtr n = Make(Node::Kind::kLiteral, Type::kLogical);
          n->literal = Logical(t->text == "T" || t->text == "Y");
          return n;
        }
        Unsupported("." + t->text + ". where a value belongs");
      }
      case Token::kOpen: {
        ++pos_;
        NodePtr inner = ParseOr();
        if (!Peek() || Peek()->kind != Token::kClose) Unsupported("a bracket that is not closed");
        ++pos_;
        return inner;
      }
      case Token::kName: {
        if (Peek(1) && Peek(1)->kind == Token::kOpen) return ParseCall();
        if (Peek(1) && (Peek(1)->kind == Token::kDot || Peek(1)->kind == Token::kArrow))
          Unsupported("the qualified name " + t->text + Peek(1)->text + "...");
        ++pos_;
        return FieldNode(*t);
      }
      default:
        Unsupported("\"" + text_.substr(t->position) + "\" cannot be read");
    }
  }

  NodePtr FieldNode(const Token& t) {
    std::string lower = t.text;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    size_t found = schema_.columns.size();
    for (size_t c = 0; c < schema_.columns.size(); ++c) {
      if (schema_.columns[c].short_name == lower || schema_.columns[c].long_name == lower) {
        found = c;
        break;
      }
    }
    if (found == schema_.columns.size()) Unsupported("the name " + lower + " is not a field of the table");
    const FieldDescriptor& f = schema_.columns[found].field;
    Type type;
    switch (f.type) {
      case 'C':
      case 'V':
        type = Type::kCharacter;
        break;
      case 'M':
        if (!schema_.read_memo) Unsupported("field " + lower + " is a memo field, which cannot be read here");
        type = Type::kCharacter;
        break;
      case 'N':
      case 'F':
      case 'B':
      case 'Y':
        type = Type::kNumber;
        break;
      case 'I':
        type = Type::kInteger;
        break;
      case 'D':
        type = Type::kDate;
        break;
      case 'T':
        type = Type::kDateTime;
        break;
      case 'L':
        type = Type::kLogical;
        break;
      default:
        Unsupported("field " + lower + " has type " + std::string(1, f.type) + ", which is not evaluated");
    }
    columns_->insert(found);
    NodePtr n = Make(Node::Kind::kField, type);
    n->field = f;
    n->column = found;
    n->codec = schema_.codec;
    return n;
  }

  NodePtr ParseCall() {
    const Token& name = *Peek();
    const FunctionInfo& info = FindFunction(name.text, text_.substr(name.position, name.text.size()));
    pos_ += 2;  // name and "("
    std::vector<NodePtr> args;
    if (Peek() && Peek()->kind == Token::kClose) {
      ++pos_;
    } else {
      for (;;) {
        args.push_back(ParseOr());
        const Token* t = Peek();
        if (t && t->kind == Token::kComma) {
          ++pos_;
          continue;
        }
        if (t && t->kind == Token::kClose) {
          ++pos_;
          break;
        }
        Unsupported("the call of " + name.text + "() is not closed");
      }
    }
    if (args.size() < info.min_arguments || args.size() > info.max_arguments)
      Unsupported(std::string(info.name) + "() with " + std::to_string(args.size()) + " arguments");

    auto arg_type = [&](size_t i) { return args[i]->type; };
    auto need = [&](size_t i, Type t) { ExpectType(*args[i], t, std::string(info.name) + "()"); };
    auto need_number = [&](size_t i) { ExpectNumeric(*args[i], std::string(info.name) + "()"); };
    // Every argument of the first one's type, numbers of either kind alike;
    // the first one's type.
    auto comparable_args = [&] {
      const Type a = arg_type(0);
      for (size_t i = 1; i < args.size(); ++i) {
        const Type b = arg_type(i);
        if (a != b && !(Numeric(a) && Numeric(b)))
          Unsupported(std::string(info.name) + "() of a " + TypeName(a) + " value with a " + TypeName(b) +
                      " one");
      }
      return a;
    };
    Type result = Type::kCharacter;
    switch (info.function) {
      case Function::kUpper:
      case Function::kLower:
        need(0, Type::kCharacter);
        if (!schema_.text_case)
          Unsupported(std::string(info.name) + "() in a table with a multi-byte code page");
        break;
      case Function::kAlltrim:
      case Function::kLtrim:
      case Function::kRtrim:
      case Function::kTrim:
        need(0, Type::kCharacter);
        break;
      case Function::kPadl:
      case Function::kPadr:
        need(0, Type::kCharacter);
        need_number(1);
        if (args.size() == 3) need(2, Type::kCharacter);
        break;
      case Function::kLeft:
      case Function::kRight:
        need(0, Type::kCharacter);
        need_number(1);
        break;
      case Function::kSubstr:
        need(0, Type::kCharacter);
        need_number(1);
        if (args.size() == 3) need_number(2);
        break;
      case Function::kStr:
        for (size_t i = 0; i < args.size(); ++i) need_number(i);
        break;
      case Function::kDtos:
        if (arg_type(0) != Type::kDate && arg_type(0) != Type::kDateTime)
          Unsupported("DTOS() needs a date or datetime value");
        break;
      case Function::kTtoc:
        if (arg_type(0) != Type::kDate && arg_type(0) != Type::kDateTime)
          Unsupported("TTOC() needs a date or datetime value");
        if (args[1]->kind != Node::Kind::kLiteral || args[1]->type != Type::kNumber ||
            args[1]->literal.number != 1)
          Unsupported("TTOC() is evaluated only with the format 1");
        break;
      case Function::kBintoc:
        need_number(0);
        if (args.size() == 2) {
          const Node& size = *args[1];
          const double n = size.literal.number;
          if (size.kind != Node::Kind::kLiteral || size.type != Type::kNumber || (n != 1 && n != 2 && n != 4))
            Unsupported("BINTOC() is evaluated only with the sizes 1, 2 and 4");
        }
        break;
      case Function::kDeleted:
        *deleted_ = true;
        result = Type::kLogical;
        break;
      case Function::kIif: {
        need(0, Type::kLogical);
        const Type a = arg_type(1), b = arg_type(2);
        if (a != b && !(Numeric(a) && Numeric(b))) Unsupported("IIF() whose results are of different types");
        result = a == b ? a : Type::kNumber;
        break;
      }
      case Function::kEmpty:
      case Function::kIsnull:
        result = Type::kLogical;
        break;
      case Function::kNvl: {
        const Type a = arg_type(0), b = arg_type(1);
        if (a != b && !(Numeric(a) && Numeric(b))) Unsupported("NVL() whose values are of different types");
        result = a == b ? a : Type::kNumber;
        break;
      }
      case Function::kBetween:
      case Function::kInlist: {
        const Type a = comparable_args();
        if (a == Type::kLogical && info.function == Function::kBetween)
          Unsupported("BETWEEN() of logical values");
        result = Type::kLogical;
        break;
      }
      case Function::kLen:
        need(0, Type::kCharacter);
        result = Type::kNumber;
        break;
      case Function::kAt:
      case Function::kOccurs:
        need(0, Type::kCharacter);
        need(1, Type::kCharacter);
        if (args.size() == 3) need_number(2);
        result = Type::kNumber;
        break;
      case Function::kVal:
        need(0, Type::kCharacter);
        result = Type::kNumber;
        break;
      case Function::kYear:
      case Function::kMonth:
      case Function::kDay:
        if (arg_type(0) != Type::kDate && arg_type(0) != Type::kDateTime)
          Unsupported(std::string(info.name) + "() needs a date or datetime value");
        result = Type::kNumber;
        break;
      case Function::kIsblank:
        // A blank numeric or logical field reads as 0 or .F., which are
        // not blank: only character and date values tell it.
        if (arg_type(0) != Type::kCharacter && arg_type(0) != Type::kDate && arg_type(0) != Type::kDateTime)
          Unsupported(std::string("ISBLANK() of a ") + TypeName(arg_type(0)) + " value");
        result = Type::kLogical;
        break;
      case Function::kChrtran:
      case Function::kStrtran:
        for (size_t i = 0; i < args.size(); ++i) need(i, Type::kCharacter);
        if (info.function == Function::kChrtran && !schema_.text_case)
          Unsupported("CHRTRAN() in a table with a multi-byte code page");
        break;
      case Function::kIsdigit:
      case Function::kIsalpha:
        need(0, Type::kCharacter);
        result = Type::kLogical;
        break;
      case Function::kAbs:
      case Function::kInt:
      case Function::kRound:
      case Function::kMod:
        for (size_t i = 0; i < args.size(); ++i) need_number(i);
        result = Type::kNumber;
        break;
      case Function::kMax:
      case Function::kMin: {
        const Type a = comparable_args();
        if (a == Type::kLogical) Unsupported(std::string(info.name) + "() of logical values");
        result = Numeric(a) ? Type::kNumber : a;
        break;
      }
      case Function::kDatetime:
        result = Type::kDateTime;
        break;
      case Function::kDate:
        if (args.size() != 0 && args.size() != 3)
          Unsupported("DATE() with " + std::to_string(args.size()) + " arguments");
        for (size_t i = 0; i < args.size(); ++i) need_number(i);
        result = Type::kDate;
        break;
    }
    NodePtr n = Make(Node::Kind::kCall, result);
    n->function = info.function;
    n->args = std::move(args);
    if (info.function == Function::kUpper || info.function == Function::kLower)
      n->text_case = schema_.text_case;
    return n;
  }

  const std::string& text_;
  std::vector<Token> tokens_;
  size_t pos_ = 0;
  const ExpressionSchema& schema_;
  const ExpressionOptions& options_;
  std::set<size_t>* columns_;
  bool* deleted_;
};
}  // namespace

IndexExpression IndexExpression::Compile(const std::string& text, const ExpressionSchema& schema,
                                         const ExpressionOptions& options) {
  IndexExpression e;
  e.text_ = text;
  Parser parser(text, schema, options, &e.columns_, &e.reads_deleted_);
  e.root_ = parser.Parse();
  e.type_ = e.root_->type;
  e.read_memo_ = schema.read_memo;
  return e;
}

}  // namespace fox
