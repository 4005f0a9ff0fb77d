// Searching values without decoding them, and reading memo values through the
// read-ahead window: both must give exactly what reading the text gives.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "data/table/memo_file.h"
#include "data/table/table.h"
#include "data/util/error.h"
#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

// Pieces of `text` worth searching for: whole, first and last character,
// a slice from the middle, and the text's first byte alone (which, for a
// multi-byte character, is not valid UTF-8).
void AddNeedlesFrom(const std::string& text, std::set<std::string>* needles) {
  if (text.empty()) return;
  needles->insert(text);
  const size_t first_end = std::min<size_t>(text.size(), 1 + (static_cast<unsigned char>(text[0]) >= 0xC0));
  needles->insert(text.substr(0, first_end));
  needles->insert(text.substr(text.size() / 2, 3));
  needles->insert(text.substr(text.size() - 1));
  needles->insert(text.substr(0, 1));
}

class SearchFixture : public ::testing::TestWithParam<const char*> {};

// For every record, field and needle, Contains answers as searching the text
// form does: character, memo, numeric, date and logical values, NULLs,
// characters that the table's code page lacks, and needles that are not
// valid UTF-8.
TEST_P(SearchFixture, ContainsAgreesWithSearchingTheText) {
  fox::Table table(Fixture(GetParam()), fox::Table::Options());
  std::vector<fox::Table::Edit> edits;
  std::string block;
  for (uint32_t r = 1; r <= table.record_count(); ++r) {
    table.ReadRecords(r, 1, &block);
    fox::Table::Edit edit;
    edit.recno = r;
    edit.original = edit.working = block;
    edits.push_back(edit);
  }

  std::set<std::string> needles = {
      " ", "0", "-", "True", "e", "\xC3\xA9", "\xD0\x96", "\xE2\x82\xAC", "\xA9", "Quillon-no-such-text"};
  for (const auto& edit : edits) {
    for (size_t c = 0; c < table.field_count() && needles.size() < 80; ++c) {
      try {
        if (auto text = table.Text(edit, c)) AddNeedlesFrom(*text, &needles);
      } catch (const fox::Error&) {
      }
    }
  }

  int found = 0;
  for (const auto& edit : edits) {
    for (size_t c = 0; c < table.field_count(); ++c) {
      std::optional<std::string> text;
      try {
        text = table.Text(edit, c);
      } catch (const fox::Error&) {
        EXPECT_THROW(table.Contains(edit, c, "e"), fox::Error);
        continue;
      }
      for (const std::string& needle : needles) {
        const bool expected = text && text->find(needle) != std::string::npos;
        ASSERT_EQ(table.Contains(edit, c, needle), expected)
            << GetParam() << " record " << edit.recno << " field " << table.field_name(c) << " needle \""
            << needle << "\"";
        found += expected;
      }
    }
  }
  EXPECT_GT(found, 0);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, SearchFixture,
                         ::testing::Values("dbffile/vfp9_30.dbf", "dbffile/vfp9_30_memo.dbf",
                                           "dbffile/vfp9_memo_bs1.dbf", "dbffile/dbase_83.dbf",
                                           "dbffile/PYACFL.DBF", "foxbin2prg/fb2p_free.dbf",
                                           "go-dbase/table/TEST.DBF", "perl-xbase/afox5.dbf",
                                           "perl-xbase/test.dbf", "ruby-dbf/cp1251.dbf",
                                           "dbffile/dbase_not_latin1.dbf", "ruby-dbf/dbase_30.dbf",
                                           "ruby-dbf/dbase_f5.dbf", "ruby-dbf/foxprodb/contacts.dbf"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           std::string name = info.param;
                           for (char& c : name) {
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           }
                           return name;
                         });

// A value appended after the window was filled (by another program, or by
// this one) lies beyond what the window holds and is read from the file.
TEST(MemoReadAhead, ValuesAppendedAfterAReadAreSeen) {
  TempDir dir;
  CopyFixtures(dir, {"dbffile/vfp9_30_memo.dbf", "dbffile/vfp9_30_memo.fpt"});
  const std::string path = dir.Sub("vfp9_30_memo.fpt");
  fox::MemoFile reader(path, fox::MemoFormat::kFpt, fox::DiskFile::Mode::kReadWrite, "vfp9_30_memo");
  fox::MemoFile other(path, fox::MemoFormat::kFpt, fox::DiskFile::Mode::kReadWrite, "vfp9_30_memo");

  const uint32_t first = reader.next_free_block();
  const fox::MemoFile::Value before = reader.Read(8);  // fills the window up to the end of the file

  fox::MemoFile::Value theirs;
  theirs.data = "written by another program";
  EXPECT_EQ(other.Append(theirs), first);
  EXPECT_EQ(reader.Read(first).data, theirs.data);

  fox::MemoFile::Value ours;
  ours.data = std::string(5000, 'q');
  const uint32_t at = reader.Append(ours);
  EXPECT_EQ(reader.Read(at).data, ours.data);
  EXPECT_EQ(other.Read(at).data, ours.data);
  EXPECT_EQ(reader.Read(8).data, before.data);
}

// Reading the same values backwards, forwards and skipping about gives the
// same bytes each time.
TEST(MemoReadAhead, OrderOfReadsDoesNotMatter) {
  fox::MemoFile memo(Fixture("foxbin2prg/foxuser_fdbozzo.fpt"), fox::MemoFormat::kFpt,
                     fox::DiskFile::Mode::kReadOnly, "foxuser_fdbozzo");
  fox::Table table(Fixture("foxbin2prg/foxuser_fdbozzo.dbf"), fox::Table::Options());
  std::vector<uint32_t> blocks;
  std::string record;
  for (uint32_t r = 1; r <= table.record_count(); ++r) {
    table.ReadRecords(r, 1, &record);
    for (size_t c = 0; c < table.field_count(); ++c) {
      if (!table.field(c).is_memo()) continue;
      if (uint32_t b = table.codec().MemoBlock(record, table.field(c))) blocks.push_back(b);
    }
  }
  ASSERT_GT(blocks.size(), 10u);
  std::vector<std::string> forward;
  for (uint32_t b : blocks) forward.push_back(memo.Read(b).data);
  fox::MemoFile fresh(Fixture("foxbin2prg/foxuser_fdbozzo.fpt"), fox::MemoFormat::kFpt,
                      fox::DiskFile::Mode::kReadOnly, "foxuser_fdbozzo");
  for (size_t i = blocks.size(); i-- > 0;) EXPECT_EQ(fresh.Read(blocks[i]).data, forward[i]) << blocks[i];
  for (size_t i = 0; i < blocks.size(); i += 7) EXPECT_EQ(memo.Read(blocks[i]).data, forward[i]) << blocks[i];
}

}  // namespace
