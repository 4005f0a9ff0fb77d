// Rebuilds tags of a table's structural index from the table's records: what
// FoxPro's REINDEX does for a tag, done so that a crash at any moment leaves
// each tag with its old tree or its new one.
//
// For each tag, every record's key is computed (records the FOR clause leaves
// out get none; deleted records are indexed like the others) and sorted by
// key bytes, then record number (descending tags are stored in the same
// order; readers walk them backwards). A UNIQUE tag keeps the first record of
// each key; a candidate tag whose records repeat a key is refused, as REINDEX
// refuses it. The entries make a complete fresh B+tree, its leaves filled as
// full as they go, appended at the end of the index file after the pages in
// use, which are never written over. Once every rebuilt tag's pages are
// written and flushed to disk, each tag header's root pointer is switched to
// its new root (one 4-byte write per tag) and flushed again. The whole
// rebuild runs under the index file's lock, the one IndexMaintainer takes for
// saves, and increments the file header's change counter before its first
// write, as saves do, so that programs caching pages read them again.
//
// The new trees are built in memory (their pages, and the keys of one tag at
// a time) before the first write, so that a tag refused on the way leaves the
// file as it was. The old trees' pages are left unreferenced, as Visual FoxPro leaves pages
// it no longer uses: each rebuild makes the file grow by the size of the new
// trees. A crash before the root pointers are switched leaves every tag as it
// was (with unused pages at the end of the file); a crash while they are
// switched leaves each tag on its old tree or its new one.
//
// The table's own view of the index is updated by the switch only partly:
// its saves read each tag's root afresh, but CompoundIndex::tags() (the root
// pages as read when the table was opened) still names the old roots, so
// CompoundIndex::ReadEntries reads the old trees until the table is opened
// again. CheckIndex (index_check.h) reads the roots afresh.
#pragma once

#include <string>
#include <vector>

#include "data/table/table.h"

namespace fox {

// Rebuilds the tags named in `tag_names` (as the index names them, in any
// case; a name given twice counts once) of the table's structural index.
//
// The table must be open for writing and no other thread may save to it
// meanwhile: its saves waiting in a batch are written first (Flush; a
// failure is thrown as Flush throws it and nothing is rebuilt) and its index
// lock released, then the index lock is taken again for the rebuild alone.
//
// Every tag is checked before anything is written. Throws Error naming the
// table and the tag: kNotFound when the table has no structural index or no
// tag of that name; kUnsupported (kReadOnly when only the index file being
// open for reading only stands in the way) for a tag that is not maintained,
// with the maintainer's reason; kUnsupported or kCorrupt when a record's key
// cannot be computed for sure; kIndexed when a candidate tag's records repeat
// a key; kConflict when another program redefined a tag or added records
// since the table was opened; kLocked when another program holds the index
// lock; kIo when a write fails. A failure before the root pointers are
// switched leaves every tag on its old tree, and one before the first write
// (every refusal above) leaves the index file as it was; a failure while the
// roots are switched names the tags already rebuilt.
void RebuildTags(Table& table, const std::vector<std::string>& tag_names);

}  // namespace fox
