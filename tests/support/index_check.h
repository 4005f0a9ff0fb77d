// An independent check of a table's structural index: walks every level of
// a tag's tree in the file as it is on disk, checks the page structure
// (sibling links at every level, separators equal to the greatest entry of
// their subtree, leaf bit widths, duplicate and trailing counts, free space)
// and compares the leaf entries with the keys computed from the records:
// sorted by key bytes then record number, one entry per record that passes
// the FOR clause.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "data/index/compound_index.h"
#include "data/table/table.h"
#include "data/util/hex.h"

namespace testing_support {

// A fixture table with a structural index.
struct IndexedFixture {
  const char* table;
  const char* container;         // "" for free tables
  bool compresses_trail = true;  // false: written by a program that stores trailing blanks
};

// Every fixture table with a structural index.
inline const IndexedFixture kIndexedFixtures[] = {
    {"foxbin2prg/fb2p_dbf.dbf", "foxbin2prg/fb2p_dbc.dbc"},
    {"foxbin2prg/fb2p_depto.dbf", "foxbin2prg/fb2p_dbc.dbc"},
    {"foxbin2prg/fb2p_free.dbf", ""},
    {"foxbin2prg/foxuser_fdbozzo.dbf", ""},
    {"foxbin2prg/fb2p_dbc.dbc", ""},
    {"perl-xbase/rooms.dbf", "", false},
    {"ruby-dbf/foxprodb/calls.dbf", "ruby-dbf/foxprodb/FOXPRO-DB-TEST.DBC"},
    {"ruby-dbf/foxprodb/contacts.dbf", "ruby-dbf/foxprodb/FOXPRO-DB-TEST.DBC"},
    {"ruby-dbf/foxprodb/setup.dbf", "ruby-dbf/foxprodb/FOXPRO-DB-TEST.DBC"},
    {"ruby-dbf/foxprodb/types.dbf", "ruby-dbf/foxprodb/FOXPRO-DB-TEST.DBC"},
    {"ruby-dbf/foxprodb/FOXPRO-DB-TEST.DBC", ""},
    {"go-dbase/database/employees.dbf", "go-dbase/database/EXPENSES.DBC"},
    {"go-dbase/database/expense categories.dbf", "go-dbase/database/EXPENSES.DBC"},
    {"go-dbase/database/expense details.dbf", "go-dbase/database/EXPENSES.DBC"},
    {"go-dbase/database/expense reports.dbf", "go-dbase/database/EXPENSES.DBC"},
    {"go-dbase/database/EXPENSES.DBC", ""},
};

// The problems found in one tag's tree in the bytes of an index file; its
// leaf entries in stored order go to `entries`. Leaves must share duplicate
// bytes as Visual FoxPro does; `strict` requires them to leave off every
// trailing pad byte too, as Visual FoxPro and this program do (other writers
// store some).
std::vector<std::string> CheckTagTree(const std::string& file_bytes, uint32_t root, uint16_t key_length,
                                      char pad, std::vector<fox::IndexEntry>* entries, bool strict = true);

// The keys a tag must hold for the table's records as they are on disk.
std::vector<fox::IndexEntry> ExpectedEntries(const fox::Table& table, const fox::IndexMaintainer::Tag& tag);

// Checks every tag whose keys can be computed (structure and entries) and
// the structure of the others (bitmap tags aside). Returns the problems,
// each naming its tag; `checked` counts the tags whose entries were compared.
std::vector<std::string> CheckIndex(const fox::Table& table, size_t* checked = nullptr, bool strict = true);

using fox::Hex;

}  // namespace testing_support
