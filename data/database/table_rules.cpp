#include "data/database/table_rules.h"

#include <algorithm>
#include <cctype>

#include "data/file/file_names.h"
#include "data/util/error.h"
#include "data/util/full_stop.h"

namespace fox {

namespace {

const char kCannotEvaluate[] = "a rule Quillon cannot evaluate: ";

std::string Normalized(const std::string& expression) {
  std::string out;
  for (char c : expression)
    if (c != ' ' && c != '\t') out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace

struct TableRules::Compiled {
  std::optional<size_t> column;
  std::string rule;        // which rule, for the refusal
  std::string expression;  // as stored, UTF-8
  std::string refusal;     // why it cannot be evaluated; "" when it can
  std::string
      text_refusal;  // why its message cannot be evaluated ("cannot be evaluated: ..."); "" when it can
  std::string expression_text;  // the rule text as stored, UTF-8
  std::optional<IndexExpression> check;
  std::optional<IndexExpression> text;  // none: FoxPro's own message
  std::string default_message;
  const FieldCodec* codec = nullptr;

  RuleRefusal Refusal(RuleRefusal::Kind kind, std::string message) const {
    RuleRefusal r;
    r.kind = kind;
    r.column = column;
    r.rule = rule;
    r.expression = expression;
    r.message = std::move(message);
    return r;
  }

  // Nothing when the rule holds.
  std::optional<RuleRefusal> Check(std::string_view record,
                                   const IndexExpression::MemoValues* pending) const {
    if (!refusal.empty()) return Refusal(RuleRefusal::Kind::kCannotEvaluate, kCannotEvaluate + refusal);
    try {
      const ExpressionValue result = check->Evaluate(record, pending);
      if (result.null())
        return Refusal(RuleRefusal::Kind::kCannotEvaluate, std::string(kCannotEvaluate) + "it gives NULL");
      if (result.logical) return std::nullopt;
    } catch (const Error& e) {
      if (e.kind() != ErrorKind::kUnsupported && e.kind() != ErrorKind::kCorrupt) throw;
      return Refusal(RuleRefusal::Kind::kCannotEvaluate, kCannotEvaluate + std::string(e.what()));
    }
    // Violated: the message.
    if (!text && text_refusal.empty()) return Refusal(RuleRefusal::Kind::kViolated, default_message);
    std::string why = text_refusal;
    if (text) {
      try {
        const ExpressionValue message = text->Evaluate(record, pending);
        if (!message.null())
          return Refusal(RuleRefusal::Kind::kViolated, codec->code_page().Decode(message.bytes));
        why = "gives NULL";
      } catch (const Error& e) {
        if (e.kind() != ErrorKind::kUnsupported && e.kind() != ErrorKind::kCorrupt) throw;
        why = std::string("cannot be evaluated: ") + e.what();
      }
    }
    return Refusal(
        RuleRefusal::Kind::kViolated,
        WithFullStop("The " + rule.substr(4) + " is violated; its message " + expression_text + " " + why));
  }
};

namespace {

std::unique_ptr<TableRules::Compiled> CompileRule(const ContainerRule& stored, std::optional<size_t> column,
                                                  std::string rule, std::string default_message,
                                                  const ExpressionSchema& schema) {
  if (stored.empty()) return nullptr;
  auto compiled = std::make_unique<TableRules::Compiled>();
  compiled->column = column;
  compiled->rule = std::move(rule);
  compiled->expression = stored.expression;
  compiled->default_message = std::move(default_message);
  compiled->expression_text = stored.text;
  compiled->codec = schema.codec;
  ExpressionOptions options;
  options.set_exact_off = true;  // FoxPro's default, under which rules run
  const std::string* part = &stored.expression;
  try {
    // Stored in UTF-8 here; the table's expressions work on its code page's bytes.
    const CodePage& code_page = schema.codec->code_page();
    compiled->check.emplace(IndexExpression::Compile(code_page.Encode(stored.expression), schema, options));
    if (compiled->check->type() != ExpressionValue::Type::kLogical)
      throw Error(ErrorKind::kUnsupported, "it does not give a logical value");
    part = &stored.text;
    if (!stored.text.empty()) {
      compiled->text.emplace(IndexExpression::Compile(code_page.Encode(stored.text), schema, options));
      if (compiled->text->type() != ExpressionValue::Type::kCharacter)
        throw Error(ErrorKind::kUnsupported, "it does not give a character value");
    }
  } catch (const Error& e) {
    if (e.kind() != ErrorKind::kUnsupported && e.kind() != ErrorKind::kInvalidValue) throw;
    if (part == &stored.text) {
      compiled->text.reset();
      compiled->text_refusal = std::string("cannot be evaluated: ") + e.what();
    } else {
      compiled->refusal = e.what();
    }
  }
  return compiled;
}

}  // namespace

TableRules::TableRules(const DatabaseContainer& container, const ContainerObject& table,
                       const ExpressionSchema& schema)
    : table_name_(table.name),
      update_trigger_(table.update_trigger),
      insert_trigger_(table.insert_trigger),
      delete_trigger_(table.delete_trigger) {
  if (!schema.codec)
    throw Error(ErrorKind::kUsage, "The rules of table " + table.name + " need the table's codec.");
  const bool paired = table.field_rules.size() == schema.columns.size();
  field_rules_.resize(schema.columns.size());
  for (size_t c = 0; c < table.field_rules.size() && c < schema.columns.size(); ++c) {
    const std::string& name = table.field_names[c];
    field_rules_[c] = CompileRule(table.field_rules[c], c,
                                  "the validation rule of field " + name + " of table " + table.name,
                                  "Field " + name + " validation rule is violated.", schema);
    if (field_rules_[c] && !paired)
      field_rules_[c]->refusal = "the container lists " + std::to_string(table.field_rules.size()) +
                                 " fields for table " + table.name + ", which has " +
                                 std::to_string(schema.columns.size());
  }
  record_rule_ =
      CompileRule(table.record_rule, std::nullopt, "the record validation rule of table " + table.name,
                  "Record validation rule is violated.", schema);
  update_trigger_is_ri_ = Normalized(table.update_trigger) == "__ri_update_" + Normalized(table.name) + "()";
  for (const ContainerRelation& relation : container.relations()) {
    if (EqualIgnoringCase(relation.parent_table, table.name)) as_parent_.push_back(relation);
    if (EqualIgnoringCase(relation.child_table, table.name)) as_child_.push_back(relation);
  }
}

TableRules::TableRules(TableRules&&) noexcept = default;
TableRules::~TableRules() = default;

bool TableRules::HasFieldRule(size_t column) const {
  return column < field_rules_.size() && field_rules_[column] != nullptr;
}

bool TableRules::HasRecordRule() const { return record_rule_ != nullptr; }

std::string TableRules::FieldRuleUnevaluable(size_t column) const {
  return HasFieldRule(column) && !field_rules_[column]->refusal.empty()
             ? kCannotEvaluate + field_rules_[column]->refusal
             : std::string();
}

std::string TableRules::RecordRuleUnevaluable() const {
  return record_rule_ && !record_rule_->refusal.empty() ? kCannotEvaluate + record_rule_->refusal
                                                        : std::string();
}

std::vector<RuleRefusal> TableRules::Check(std::string_view record, const std::vector<size_t>& changed,
                                           const IndexExpression::MemoValues* pending_memos) const {
  std::vector<RuleRefusal> refusals;
  if (changed.empty()) return refusals;
  std::vector<size_t> columns = changed;
  std::sort(columns.begin(), columns.end());
  columns.erase(std::unique(columns.begin(), columns.end()), columns.end());
  for (size_t c : columns) {
    if (!HasFieldRule(c)) continue;
    if (auto refusal = field_rules_[c]->Check(record, pending_memos)) refusals.push_back(std::move(*refusal));
  }
  if (record_rule_) {
    if (auto refusal = record_rule_->Check(record, pending_memos)) refusals.push_back(std::move(*refusal));
  }
  return refusals;
}

}  // namespace fox
