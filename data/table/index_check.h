// Checks the tags of a table's structural index against the table's records.
//
// For every tag whose keys this library computes (those whose key and FOR
// expressions compile; see IndexMaintainer), CheckIndex walks the tree level
// by level from the root, as the tag header in the file names it now: every
// page lies inside the file and decodes, the sibling links chain each level
// from left to right, entries are in (key bytes, record number) order, every
// interior entry is the greatest entry of its child, and all leaves lie at
// one depth. It then compares the leaf entries, in order, with the keys
// computed from the records as they are on disk: one entry per record that
// the FOR clause lets in, deleted records included, sorted by key bytes then
// record number (descending tags are stored in the same order).
//
// A UNIQUE tag holds one record per key: the first one a REINDEX meets. Saves
// keep it the way FoxPro does (a key leaves with the record that held it, and
// another record with the same key does not take its place), so such a tag
// is consistent when each entry holds its record's key and each key occurs
// once; which record holds a key, and whether a key that some records still
// hold is held at all, is not checked.
//
// Tags whose keys cannot be computed (collated character keys, binary tags,
// expressions this library does not evaluate, a key that cannot be told for
// sure for some record) are reported as not checked, with the reason.
//
// The index file is read a window of pages at a time through its own handle,
// without taking the index lock: the table and its index must not change
// meanwhile (another program saving records during the check may make a tag
// look inconsistent; check again). Nothing is written. The keys of one tag
// are held in memory at a time, twice (computed and read).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "data/index/compound_index.h"
#include "data/index/index_maintenance.h"
#include "data/table/table.h"

namespace fox {

struct TagCheck {
  std::string tag;                 // the tag's name, upper case
  bool checked = false;            // whether its entries were compared with the records
  std::string not_checked_reason;  // why not, when !checked
  size_t keys = 0;                 // the entries its leaves hold, when checked and consistent
  std::string problem;             // the first problem found; "" when consistent

  bool consistent() const { return checked && problem.empty(); }
};

// One TagCheck per tag of the table's structural index, in creation order;
// nothing when the table has no structural index open
// (Table::index_maintainer() is null). Throws Error when the index file
// cannot be opened or the records cannot be read (kIo, kCorrupt, kNotFound).
std::vector<TagCheck> CheckIndex(const Table& table);

// The entries a maintained or computable tag (`tag.key` set) must hold for
// the table's records as they are on disk: one per record that its FOR
// clause lets in (every record of a UNIQUE tag with that key, not only the
// first), sorted by key bytes then record number. Throws Error(kUnsupported)
// naming the record when a key cannot be computed for sure, Error(kCorrupt)
// for a value that cannot be read, and what ReadRecords throws.
std::vector<IndexEntry> TagEntriesFromRecords(const Table& table, const IndexMaintainer::Tag& tag);

}  // namespace fox
