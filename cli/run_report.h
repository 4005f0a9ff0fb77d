// How the batch command says what --check and --dry-run found: one line per
// tag, rule, relation, table or column, on the output stream, flushed at the
// end of each table. Plain printing: the findings come as values from the
// engine (TableCheck, TableReach), and nothing here throws of its own.
#pragma once

#include <ostream>

#include "engine/check_run.h"
#include "engine/replacement_run.h"

namespace quillon {

// Prints what --check found in a table:
//   TABLE: tag NAME: N keys, consistent
//   TABLE: tag NAME: INCONSISTENT: what is wrong
//   TABLE: tag NAME: not checked: why
// after the rules and relations some records break, or one line for a table
// without a structural index or one that cannot be checked.
void PrintCheck(const TableCheck& check, std::ostream& out);

// Prints what the dry run found in a table: one line per column that a find
// text reaches or that cannot be changed (the fields that would be replaced,
// and those whose new text the column would refuse, with the reason). True
// when the real run would meet a problem there (a table or column it could
// not change, values it would refuse).
bool PrintReach(const TableReach& reach, std::ostream& out);

}  // namespace quillon
