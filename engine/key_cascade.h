// Referential integrity's cascades during a run. When a record's change
// changes its key in a relation whose update rule is cascade, every child
// record holding the old key takes the new one (and their own children
// after them): each is locked (held), read afresh and checked with its
// table's rules before anything is written, and any refusal refuses the
// record's change. Once the record itself is written, the children are
// changed through their tables' own saves, each field with its line and
// journal entry. A field changed so is passed over when the walk reaches
// it: it took its parent's new key, which is final.
//
// A dry run plans the same way, on child tables open read-only, holding and
// writing nothing: the plan says whether the real run would refuse the
// record's change and which child records it would reach.
//
// A parent's new key and the child records it reaches are one unit of the
// run log (fox::RunLog::BeginUnit): after a crash, all of it or none is
// written. The unit opens when the first plan waits and closes once the
// children are written, or when the plans are dropped.
//
// Owns the child tables it opens (closed by Leave), the plans waiting and
// the fields it changed; borrows the session (log, journal), the tally,
// which it counts its changes and the tables they are in in, the reports of
// code not run (a child changed under the override is named there), and the
// connection of the walked table.
// Failures are reported through the error trap given, or, while planning,
// returned as the refusal of the record's change.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "base/error_report.h"
#include "data/table/table.h"
#include "engine/code_not_run.h"
#include "engine/run_tally.h"
#include "engine/save_session.h"

namespace fox {
class Connection;
class Recordset;
}  // namespace fox

namespace quillon {

class KeyCascade {
 public:
  KeyCascade(SaveSession& session, RunTally& tally, CodeNotRun& code_not_run)
      : session_(session), tally_(tally), code_not_run_(code_not_run) {}
  ~KeyCascade();

  // How the run treats triggers and the journal (see ReplacementRun), and
  // whether it is a dry run.
  void Configure(bool allow_triggers, bool write_journal, bool dry_run) {
    allow_triggers_ = allow_triggers;
    write_journal_ = write_journal && !dry_run;
    dry_run_ = dry_run;
  }
  // The walk reaches `table` (opened on `connection`); child tables open on
  // the same connection.
  void Enter(fox::Connection& connection, const std::string& table);
  // Whether field `column` of record `recno` of the walked table took its
  // parent's new key in this run.
  bool Cascaded(uint32_t recno, size_t column) const;

  // Plans the cascades of `recordset`'s current record (the walked table's);
  // false when they refuse its change, with `refusal` saying why (none when
  // a plan failed with its error reported). The plan waits until Settle.
  // In a dry run nothing waits: the child fields the plan would change are
  // passed over from now on (Cascaded), as the real run passes over those it
  // changed, and `reached`, when given, counts the child records by "child
  // (tag name)".
  bool Plan(ErrorTrap& trap, fox::Recordset& recordset, std::optional<fox::Table::Refusal>* refusal,
            std::map<std::string, int64_t>* reached = nullptr);
  // Lets go of the child records held, when no plan waits.
  void ReleaseIfIdle();
  bool waiting() const { return !plans_.empty(); }
  // Enough records' cascades wait to be written together.
  bool full() const { return plans_.size() >= kBatch; }
  // Records of the walked table that were not saved: their cascades are
  // not carried out.
  void NotSaved(const std::vector<uint32_t>& records);
  // Once the records planned so far are written: carries out the cascades
  // of those saved, or, when the run `stops`, tells how many are left.
  void Settle(ErrorTrap& trap, const std::string& table, bool stops);
  // Drops the plans (a stop) and closes the child tables.
  void Leave(ErrorTrap& trap);

 private:
  struct Step {
    std::string table;  // the child table, as the container names it
    uint32_t recno = 0;
    size_t column = 0;
    std::string old_value, new_value;
    std::string tag, old_key, new_key;
  };
  struct ChildTable {
    std::shared_ptr<fox::Recordset> recordset;  // shared: its type is complete only where it is made
    std::string name;
    uint32_t journal_table = 0;
    std::vector<std::string> columns;  // field names, for the lines
  };
  std::optional<fox::Table::Refusal> PlanOf(fox::Recordset& parent, const std::string& top,
                                            std::vector<Step>* steps, std::vector<std::string>* chain);
  ChildTable& ChildOf(const std::string& name);
  void CarryOut(ErrorTrap& trap, const std::string& parent_table,
                const std::map<uint32_t, std::vector<Step>>& plans);
  // Closes the run log's unit of the plans carried out or dropped; its
  // failure is reported once in the run.
  void EndUnit(ErrorTrap& trap);

  // How many records' cascades wait before they are carried out: the
  // parents written, then their children, each with one flush.
  static constexpr size_t kBatch = 1024;

  SaveSession& session_;
  RunTally& tally_;
  CodeNotRun& code_not_run_;
  bool allow_triggers_ = false;
  bool write_journal_ = true;
  bool dry_run_ = false;
  fox::Connection* connection_ = nullptr;        // the walked table's
  std::string walk_table_;                       // its name, lower case
  std::map<std::string, ChildTable> children_;   // by lower-case name
  std::map<uint32_t, std::vector<Step>> plans_;  // by record of the walked table
  // The child fields the plans waiting will change (table, FieldId), with
  // the parent record of each: a field is planned once.
  std::map<std::pair<std::string, uint64_t>, uint32_t> planned_;
  std::set<uint32_t> not_saved_;  // of the walked table's records, while plans wait
  bool in_unit_ = false;          // the plans waiting opened a unit of the run log
  bool unit_failed_ = false;      // closing a unit failed (reported)
  // The fields changed by cascades: by lower-case table, by column, one bit
  // per record (a cascade may reach every record of a large table).
  using FieldBits = std::vector<std::vector<bool>>;
  std::map<std::string, FieldBits> cascaded_;
  const FieldBits* cascaded_here_ = nullptr;  // the walked table's
  void MarkCascaded(const std::string& table, uint32_t recno, size_t column);
};

}  // namespace quillon
