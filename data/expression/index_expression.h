// Key and FOR expressions of index tags, compiled against a table's fields
// and evaluated over its records with FoxPro's semantics.
//
// The language covered is what index expressions of real tables use: field
// names (short, and the long names of database tables), string, number and
// logical literals (a number ends where a dotted word begins: 0.AND.);
// + on strings (concatenation), + - * / % ^ ** on numbers, +/- of days on
// dates; the comparisons = == <> # != < > <= >= (=< and => too) and $;
// .AND. .OR. .NOT. ! (and AND OR NOT); the functions UPPER, LOWER, ALLTRIM,
// LTRIM, RTRIM, TRIM, PADL, PADR, LEFT, RIGHT, SUBSTR, STR, DTOS,
// TTOC(...,1), BINTOC, DELETED, IIF, EMPTY, ISBLANK, ISNULL, NVL, BETWEEN,
// INLIST, LEN, AT, OCCURS, VAL, CHRTRAN, STRTRAN, ISDIGIT, ISALPHA, ABS,
// INT, ROUND, MOD, MAX, MIN, YEAR, MONTH, DAY, DATE (today, or DATE(year,
// month, day)) and DATETIME() (now), also cut to four letters or more
// where that names one function only. Anything else is refused when
// compiling, so that an index is never kept with a guess; a call of any
// other function (a stored procedure, a user's function) is refused as
// "it calls name()", the name as written.
//
// Character values are the table's code-page bytes. Where FoxPro's result
// would depend on session settings or on rules not known here (string
// comparisons whose outcome SET EXACT decides, unless compiled with
// ExpressionOptions::set_exact_off; STR() narrowing decimals, a
// NULL filter result, case conversion of letters outside the simple
// mappings), evaluation refuses with Error(kUnsupported) rather than guess.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "data/record/field_codec.h"
#include "data/record/table_header.h"
#include "data/text/text_case.h"

namespace fox {

struct ExpressionValue {
  // Number: N, F, B, Y fields, literals and arithmetic. Integer: an I field
  // taken as it is (an integer key is stored in 4 bytes).
  enum class Type : char {
    kNull = '0',
    kCharacter = 'C',
    kNumber = 'N',
    kInteger = 'I',
    kDate = 'D',
    kDateTime = 'T',
    kLogical = 'L',
  };
  Type type = Type::kNull;
  std::string bytes;        // character values, code-page bytes
  double number = 0;        // numbers and integers
  int64_t day = 0;          // dates and datetimes: Julian day number; 0 = empty
  int64_t millisecond = 0;  // datetimes: milliseconds after midnight
  bool logical = false;

  bool null() const { return type == Type::kNull; }
};

// The fields of a table as expressions see them, in column order.
struct ExpressionSchema {
  struct Column {
    std::string short_name;  // lower case
    std::string long_name;   // lower case; the short name when there is none
    FieldDescriptor field;
  };
  std::vector<Column> columns;
  const FieldCodec* codec = nullptr;  // null bits and code page; must outlive the expressions
  // Reads the data (code-page bytes) of a memo field as the record points to
  // it; without it, expressions on memo fields are refused.
  std::function<std::string(std::string_view record, const FieldDescriptor& field)> read_memo;
  // Upper and lower case of the code page; nothing for multi-byte code pages,
  // where UPPER() and LOWER() are refused.
  std::shared_ptr<const TextCase> text_case;
};

// How an expression is compiled.
struct ExpressionOptions {
  // Character "=" and "<>" (# !=) as FoxPro evaluates them with SET EXACT
  // OFF, its default and the setting validation rules run under: equal when
  // the left string begins with the right one (an empty right one equals
  // anything), no blank padding, so "ab" = "ab " is false and "ab " = "ab"
  // true. Without it (index keys and filters, written by sessions whose
  // setting is not known) such comparisons are refused wherever SET EXACT ON
  // and OFF disagree. Orderings (< <= > >= BETWEEN) and INLIST are refused
  // where the settings disagree either way.
  bool set_exact_off = false;
};

class IndexExpression {
 public:
  // Compiles `text`. Throws Error(kUnsupported) saying what is not supported
  // (a function, an operator, a name that is no field, a memo field, ...).
  static IndexExpression Compile(const std::string& text, const ExpressionSchema& schema,
                                 const ExpressionOptions& options = {});

  IndexExpression(IndexExpression&&) noexcept;
  IndexExpression& operator=(IndexExpression&&) noexcept;
  ~IndexExpression();

  const std::string& text() const { return text_; }
  // Type of every value the expression gives (NULL aside).
  ExpressionValue::Type type() const { return type_; }
  // The columns it reads, and whether it reads the deletion flag.
  const std::set<size_t>& columns() const { return columns_; }
  bool reads_deleted_flag() const { return reads_deleted_; }

  // Memo values not yet written, by column: they replace what the record
  // points to.
  using MemoValues = std::map<size_t, std::string>;

  // Evaluates over a whole record (deletion flag first). Throws
  // Error(kUnsupported) when FoxPro's result cannot be told for sure and
  // Error(kCorrupt) for a stored value that cannot be read.
  ExpressionValue Evaluate(std::string_view record, const MemoValues* pending_memos = nullptr) const;

  struct Node;

 private:
  IndexExpression();

  std::string text_;
  ExpressionValue::Type type_ = ExpressionValue::Type::kNull;
  std::set<size_t> columns_;
  bool reads_deleted_ = false;
  std::unique_ptr<Node> root_;
  std::function<std::string(std::string_view record, const FieldDescriptor& field)> read_memo_;
};

}  // namespace fox
