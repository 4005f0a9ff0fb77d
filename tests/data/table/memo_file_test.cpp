// Memo files: reading the values of real FoxPro and dBase files, refusing
// damaged ones clearly, and appending values that other readers accept.
#include "data/table/memo_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "data/util/byte_order.h"
#include "data/util/error.h"
#include "tests/support/test_support.h"

namespace {

using fox::DiskFile;
using fox::Error;
using fox::ErrorKind;
using fox::MemoFile;
using fox::MemoFormat;
using testing_support::CopyFixtures;
using testing_support::Fixture;
using testing_support::ReadFileBytes;
using testing_support::RunPythonTool;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

std::vector<uint32_t> DbfreadPointers(const std::string& table) {
  std::istringstream lines(RunPythonTool("dbfread_memo.py", {"pointers", table}));
  std::vector<uint32_t> blocks;
  uint32_t block;
  while (lines >> block) blocks.push_back(block);
  return blocks;
}

std::string Unhex(const std::string& hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return bytes;
}

// The values python3-dbfread reads at `blocks`.
std::vector<std::string> DbfreadValues(const std::string& kind, const std::string& memo,
                                       const std::vector<uint32_t>& blocks) {
  std::vector<std::string> args = {"read", kind, memo};
  for (uint32_t b : blocks) args.push_back(std::to_string(b));
  std::istringstream lines(RunPythonTool("dbfread_memo.py", args));
  std::vector<std::string> values;
  std::string line;
  while (std::getline(lines, line)) {
    size_t space = line.find(' ');
    values.push_back(space == std::string::npos ? std::string() : Unhex(line.substr(space + 1)));
  }
  return values;
}

template <typename F>
ErrorKind KindOf(F&& f) {
  try {
    f();
  } catch (const Error& e) {
    return e.kind();
  }
  ADD_FAILURE() << "no error was raised";
  return ErrorKind::kUsage;
}

// Every value a fixture table points at reads as python3-dbfread reads it.
struct AgreementCase {
  std::string table;
  std::string memo;
  MemoFormat format;
  std::string kind;
};

class MemoAgreesWithDbfread : public testing::TestWithParam<AgreementCase> {};

TEST_P(MemoAgreesWithDbfread, EveryReferencedValue) {
  const AgreementCase& c = GetParam();
  std::vector<uint32_t> blocks = DbfreadPointers(Fixture(c.table));
  ASSERT_FALSE(blocks.empty());
  std::vector<std::string> expected = DbfreadValues(c.kind, Fixture(c.memo), blocks);
  ASSERT_EQ(expected.size(), blocks.size());
  MemoFile memo(Fixture(c.memo), c.format, DiskFile::Mode::kReadOnly, c.table);
  for (size_t i = 0; i < blocks.size(); ++i) {
    EXPECT_EQ(memo.Read(blocks[i]).data, expected[i]) << c.memo << " block " << blocks[i];
  }
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, MemoAgreesWithDbfread,
    testing::Values(
        AgreementCase{"dbffile/vfp9_30_memo.dbf", "dbffile/vfp9_30_memo.fpt", MemoFormat::kFpt, "fpt"},
        AgreementCase{"dbffile/vfp9_memo_bs1.dbf", "dbffile/vfp9_memo_bs1.fpt", MemoFormat::kFpt, "fpt"},
        AgreementCase{"ruby-dbf/foxprodb/calls.dbf", "ruby-dbf/foxprodb/calls.FPT", MemoFormat::kFpt, "fpt"},
        AgreementCase{"foxbin2prg/foxuser_fdbozzo.dbf", "foxbin2prg/foxuser_fdbozzo.fpt", MemoFormat::kFpt,
                      "fpt"},
        AgreementCase{"ruby-dbf/dbase_f5.dbf", "ruby-dbf/dbase_f5.fpt", MemoFormat::kFpt, "fpt"},
        AgreementCase{"ruby-dbf/dbase_83.dbf", "ruby-dbf/dbase_83.dbt", MemoFormat::kDbaseIII, "db3"},
        AgreementCase{"perl-xbase/test.dbf", "perl-xbase/test.dbt", MemoFormat::kDbaseIII, "db3"}));

TEST(MemoFileRead, KnownValuesAndLayouts) {
  MemoFile vfp(Fixture("dbffile/vfp9_30_memo.fpt"), MemoFormat::kFpt, DiskFile::Mode::kReadOnly,
               "vfp9_30_memo");
  EXPECT_EQ(vfp.block_size(), 64u);
  EXPECT_EQ(vfp.next_free_block(), 13u);
  MemoFile::Value v = vfp.Read(10);
  EXPECT_EQ(v.block_type, 1u);
  EXPECT_EQ(v.data.substr(0, 15), "Memo of record ");

  MemoFile bs1(Fixture("dbffile/vfp9_memo_bs1.fpt"), MemoFormat::kFpt, DiskFile::Mode::kReadOnly,
               "vfp9_memo_bs1");
  EXPECT_EQ(bs1.block_size(), 1u);
  EXPECT_EQ(bs1.Read(512).data, "Some notes here\r\n");

  // dBase IV: the stored length counts the 8-byte block header.
  MemoFile db4(Fixture("ruby-dbf/dbase_8b.dbt"), MemoFormat::kDbaseIV, DiskFile::Mode::kReadOnly, "dbase_8b");
  EXPECT_EQ(db4.block_size(), 512u);
  EXPECT_EQ(db4.Read(1).data, "First memo\r\n");
  MemoFile db4b(Fixture("dbffile/dbase_8b.dbt"), MemoFormat::kDbaseIV, DiskFile::Mode::kReadOnly, "dbase_8b");
  for (uint32_t block : DbfreadPointers(Fixture("dbffile/dbase_8b.dbf"))) {
    EXPECT_NO_THROW(db4b.Read(block)) << block;
  }

  // dBase III: a value ends at 0x1A, and the last one may lack its second 0x1A
  // or the block padding.
  MemoFile db3(Fixture("perl-xbase/test.dbt"), MemoFormat::kDbaseIII, DiskFile::Mode::kReadOnly, "test");
  EXPECT_EQ(db3.Read(1).data, "This is a memo for record no one");
  EXPECT_EQ(db3.Read(2).data, "This is a memo for record 2");
  EXPECT_EQ(db3.Read(3).data, "This is a memo for record 3");
}

TEST(MemoFileRead, DamagedFilesRaiseCorruptNamingTheBlock) {
  TempDir dir;
  std::string path = CopyFixtures(dir, {"dbffile/vfp9_30_memo.fpt"});
  MemoFile memo(path, MemoFormat::kFpt, DiskFile::Mode::kReadOnly, "orders");
  EXPECT_EQ(KindOf([&] { memo.Read(0); }), ErrorKind::kCorrupt);
  EXPECT_EQ(KindOf([&] { memo.Read(7); }), ErrorKind::kCorrupt);  // inside the header
  EXPECT_EQ(KindOf([&] { memo.Read(0xFFFFFFFF); }), ErrorKind::kCorrupt);
  try {
    memo.Read(500);
    FAIL();
  } catch (const Error& e) {
    std::string text = e.what();
    EXPECT_NE(text.find("orders"), std::string::npos) << text;
    EXPECT_NE(text.find(path), std::string::npos) << text;
    EXPECT_NE(text.find("500"), std::string::npos) << text;
  }

  // A length that runs past the end of the file.
  std::string bytes = ReadFileBytes(path);
  fox::StoreBE32(&bytes[10 * 64 + 4], 100000);
  WriteFileBytes(path, bytes);
  MemoFile damaged(path, MemoFormat::kFpt, DiskFile::Mode::kReadOnly, "orders");
  EXPECT_EQ(KindOf([&] { damaged.Read(10); }), ErrorKind::kCorrupt);
  EXPECT_EQ(damaged.Read(12).data.substr(0, 15), "Memo of record ");

  // A dBase IV length shorter than its own header.
  std::string db4 = CopyFixtures(dir, {"ruby-dbf/dbase_8b.dbt"});
  bytes = ReadFileBytes(db4);
  fox::StoreLE32(&bytes[512 + 4], 3);
  WriteFileBytes(db4, bytes);
  MemoFile db4memo(db4, MemoFormat::kDbaseIV, DiskFile::Mode::kReadOnly, "dbase_8b");
  EXPECT_EQ(KindOf([&] { db4memo.Read(1); }), ErrorKind::kCorrupt);
}

TEST(MemoFileOpen, RejectsBadHeaders) {
  TempDir dir;
  std::string path = CopyFixtures(dir, {"dbffile/vfp9_30_memo.fpt"});
  std::string bytes = ReadFileBytes(path);
  std::string zero_size = bytes;
  fox::StoreBE16(&zero_size[6], 0);
  WriteFileBytes(path, zero_size);
  EXPECT_EQ(KindOf([&] { MemoFile(path, MemoFormat::kFpt, DiskFile::Mode::kReadOnly, "t"); }),
            ErrorKind::kCorrupt);
  WriteFileBytes(path, bytes.substr(0, 300));
  EXPECT_EQ(KindOf([&] { MemoFile(path, MemoFormat::kFpt, DiskFile::Mode::kReadOnly, "t"); }),
            ErrorKind::kCorrupt);
  EXPECT_EQ(KindOf([&] { MemoFile(dir.Sub("none.fpt"), MemoFormat::kFpt, DiskFile::Mode::kReadOnly, "t"); }),
            ErrorKind::kNotFound);
}

TEST(MemoFileAppend, FptValuesGoAtNextFreeAndReadBack) {
  TempDir dir;
  std::string path = CopyFixtures(dir, {"dbffile/vfp9_30_memo.fpt"});
  const std::string before = ReadFileBytes(path);
  MemoFile memo(path, MemoFormat::kFpt, DiskFile::Mode::kReadWrite, "vfp9_30_memo");

  EXPECT_EQ(memo.Append({1, "Hello"}), 13u);
  EXPECT_EQ(memo.next_free_block(), 14u);
  std::string long_value(100, 'x');  // 8 + 100 bytes: two 64-byte blocks
  EXPECT_EQ(memo.Append({0, long_value}), 14u);
  EXPECT_EQ(memo.next_free_block(), 16u);
  EXPECT_EQ(memo.Append({1, ""}), 16u);

  MemoFile::Value hello = memo.Read(13);
  EXPECT_EQ(hello.block_type, 1u);
  EXPECT_EQ(hello.data, "Hello");
  EXPECT_EQ(memo.Read(14).block_type, 0u);
  EXPECT_EQ(memo.Read(14).data, long_value);
  EXPECT_EQ(memo.Read(16).data, "");

  std::string after = ReadFileBytes(path);
  ASSERT_EQ(after.size(), 17u * 64);
  // Only the pointer in the header changed; old blocks are untouched and the
  // slack behind the new values is zero.
  EXPECT_EQ(after.substr(4, before.size() - 4), before.substr(4));
  EXPECT_EQ(after.substr(13 * 64 + 8 + 5, 64 - 13), std::string(64 - 13, '\0'));

  EXPECT_EQ(DbfreadValues("fpt", path, {10, 12, 13, 14, 16}),
            (std::vector<std::string>{memo.Read(10).data, memo.Read(12).data, "Hello", long_value, ""}));
}

TEST(MemoFileAppend, FillsAnUnpaddedLastBlockFirst) {
  TempDir dir;
  std::string path = CopyFixtures(dir, {"dbffile/vfp9_30_memo.fpt"});
  std::string bytes = ReadFileBytes(path);
  uint32_t last_length = fox::LoadBE32(&bytes[12 * 64 + 4]);
  bytes.resize(12 * 64 + 8 + last_length);  // as Visual FoxPro sometimes leaves it
  WriteFileBytes(path, bytes);

  MemoFile memo(path, MemoFormat::kFpt, DiskFile::Mode::kReadWrite, "vfp9_30_memo");
  std::string last = memo.Read(12).data;
  EXPECT_EQ(memo.Append({1, "after the gap"}), 13u);
  EXPECT_EQ(memo.Read(13).data, "after the gap");
  EXPECT_EQ(memo.Read(12).data, last);
  EXPECT_EQ(DbfreadValues("fpt", path, {12, 13}), (std::vector<std::string>{last, "after the gap"}));
}

TEST(MemoFileAppend, RefusesAHeaderPointingPastACutFile) {
  TempDir dir;
  std::string path = CopyFixtures(dir, {"dbffile/vfp9_30_memo.fpt"});
  std::string bytes = ReadFileBytes(path);
  bytes.resize(11 * 64);  // block 12 lost
  WriteFileBytes(path, bytes);
  MemoFile memo(path, MemoFormat::kFpt, DiskFile::Mode::kReadWrite, "t");
  EXPECT_EQ(KindOf([&] { memo.Append({1, "x"}); }), ErrorKind::kCorrupt);
  EXPECT_EQ(ReadFileBytes(path), bytes);
}

// Values are appended only where no value of the file can be: a next-free
// pointer inside the stored values is damage, and a dBase III last value
// left without its end mark is ended first, so that it reads as before.
TEST(MemoFileAppend, NeverOverwritesOrRunsIntoStoredValues) {
  TempDir dir;
  std::string path = CopyFixtures(dir, {"dbffile/vfp9_30_memo.fpt"});
  std::string bytes = ReadFileBytes(path);
  fox::StoreBE32(reinterpret_cast<unsigned char*>(&bytes[0]), 11);  // block 12 lies past it
  WriteFileBytes(path, bytes);
  {
    MemoFile memo(path, MemoFormat::kFpt, DiskFile::Mode::kReadWrite, "t");
    ASSERT_TRUE(memo.Damage().has_value());
    EXPECT_NE(memo.Damage()->find("would be overwritten"), std::string::npos) << *memo.Damage();
    EXPECT_EQ(KindOf([&] { memo.Append({1, "x"}); }), ErrorKind::kCorrupt);
  }
  EXPECT_EQ(ReadFileBytes(path), bytes);

  path = CopyFixtures(dir, {"perl-xbase/test.dbt"});  // next free 4, value 3 the last
  bytes = ReadFileBytes(path);
  const size_t end = bytes.find('\x1a', 3 * 512);
  ASSERT_NE(end, std::string::npos);
  bytes.resize(end);  // value 3 ends where the file does, without its mark
  WriteFileBytes(path, bytes);
  MemoFile memo(path, MemoFormat::kDbaseIII, DiskFile::Mode::kReadWrite, "test");
  const std::string third = memo.Read(3).data;
  EXPECT_EQ(memo.Append({1, "appended"}), 4u);
  EXPECT_EQ(memo.Read(3).data, third);
  EXPECT_EQ(DbfreadValues("db3", path, {3, 4}), (std::vector<std::string>{third, "appended"}));

  // The same in a dBase IV file, whose last value was written the dBase III
  // way: no block header, no end mark.
  path = CopyFixtures(dir, {"ruby-dbf/dbase_8b.dbt"});
  bytes = ReadFileBytes(path);
  const uint32_t last = static_cast<uint32_t>((bytes.size() + 511) / 512);
  bytes.resize(size_t{last} * 512, '\0');
  bytes += "written without a header";
  fox::StoreLE32(&bytes[0], last + 1);
  WriteFileBytes(path, bytes);
  MemoFile db4(path, MemoFormat::kDbaseIV, DiskFile::Mode::kReadWrite, "dbase_8b");
  EXPECT_EQ(db4.Read(last).data, "written without a header");
  EXPECT_EQ(db4.Read(db4.Append({1, "appended"})).data, "appended");
  EXPECT_EQ(db4.Read(last).data, "written without a header");
}

TEST(MemoFileAppend, BlockSizeOne) {
  TempDir dir;
  std::string path = CopyFixtures(dir, {"dbffile/vfp9_memo_bs1.fpt"});
  MemoFile memo(path, MemoFormat::kFpt, DiskFile::Mode::kReadWrite, "vfp9_memo_bs1");
  uint32_t start = memo.next_free_block();
  EXPECT_EQ(memo.Append({1, "abc"}), start);
  EXPECT_EQ(memo.next_free_block(), start + 8 + 3);
  EXPECT_EQ(memo.Append({1, "de"}), start + 11);
  EXPECT_EQ(DbfreadValues("fpt", path, {512, start, start + 11}),
            (std::vector<std::string>{"Some notes here\r\n", "abc", "de"}));
}

TEST(MemoFileAppend, DbaseIIIValuesEndWithTwoMarks) {
  TempDir dir;
  std::string path = CopyFixtures(dir, {"perl-xbase/test.dbt"});  // 1565 bytes, next free 4
  MemoFile memo(path, MemoFormat::kDbaseIII, DiskFile::Mode::kReadWrite, "test");
  std::string value(600, 'm');  // crosses a block boundary
  EXPECT_EQ(memo.Append({1, value}), 4u);
  EXPECT_EQ(memo.next_free_block(), 6u);
  EXPECT_EQ(memo.Read(4).data, value);
  std::string bytes = ReadFileBytes(path);
  EXPECT_EQ(bytes.size(), 6u * 512);
  EXPECT_EQ(bytes.substr(4 * 512 + 600, 2), "\x1a\x1a");
  EXPECT_EQ(DbfreadValues("db3", path, {3, 4}),
            (std::vector<std::string>{"This is a memo for record 3", value}));

  // A value holding the end mark would read back cut short: refused.
  const std::string unchanged = ReadFileBytes(path);
  EXPECT_EQ(KindOf([&] {
              memo.Append({1, std::string("a\x1a"
                                          "b")});
            }),
            ErrorKind::kInvalidValue);
  EXPECT_EQ(ReadFileBytes(path), unchanged);
}

TEST(MemoFileAppend, DbaseIVBlocksCarryTheirHeader) {
  TempDir dir;
  std::string path = CopyFixtures(dir, {"ruby-dbf/dbase_8b.dbt"});
  MemoFile memo(path, MemoFormat::kDbaseIV, DiskFile::Mode::kReadWrite, "dbase_8b");
  uint32_t block = memo.Append({1, "New memo"});
  EXPECT_EQ(block, 10u);
  EXPECT_EQ(memo.Read(block).data, "New memo");
  EXPECT_EQ(memo.Read(1).data, "First memo\r\n");
  std::string bytes = ReadFileBytes(path);
  EXPECT_EQ(bytes.substr(10 * 512, 4), std::string("\xff\xff\x08\x00", 4));
  EXPECT_EQ(fox::LoadLE32(&bytes[10 * 512 + 4]), 16u);
  EXPECT_EQ(fox::LoadLE32(&bytes[0]), 11u);
}

TEST(MemoFileAppend, RefusedWhenReadOnlyOrLocked) {
  TempDir dir;
  std::string path = CopyFixtures(dir, {"dbffile/vfp9_30_memo.fpt"});
  const std::string before = ReadFileBytes(path);
  MemoFile reader(path, MemoFormat::kFpt, DiskFile::Mode::kReadOnly, "t");
  EXPECT_EQ(KindOf([&] { reader.Append({1, "x"}); }), ErrorKind::kReadOnly);

  // Another program is allocating: the append waits briefly, then gives up;
  // reading is not held up by that lock.
  DiskFile other(path, DiskFile::Mode::kReadWrite, "memo file");
  ASSERT_TRUE(other.TryLock(0, 1));
  MemoFile writer(path, MemoFormat::kFpt, DiskFile::Mode::kReadWrite, "t");
  EXPECT_EQ(KindOf([&] { writer.Append({1, "x"}); }), ErrorKind::kLocked);
  EXPECT_EQ(writer.Read(10).data.substr(0, 4), "Memo");
  EXPECT_EQ(ReadFileBytes(path), before);

  other.Unlock(0, 1);
  EXPECT_EQ(writer.Append({1, "x"}), 13u);
  // The lock is released again after the append.
  EXPECT_TRUE(other.TryLock(0, 1));
}

}  // namespace

// Damage that made a value unreadable stays damage once values are appended
// past it: a length that ran past the end of the file, or a pointer past it,
// must not read as the bytes appended there. The appended values read back.
TEST(MemoFileAppend, AValueUnreadableBeforeStaysUnreadableAfterTheFileGrows) {
  TempDir dir;
  const std::string path = CopyFixtures(dir, {"dbffile/vfp9_30_memo.fpt"});
  std::string bytes = ReadFileBytes(path);
  const uint32_t end_block = static_cast<uint32_t>(bytes.size() / 64);
  fox::StoreBE32(&bytes[10 * 64 + 4], 3000);  // runs past the end
  WriteFileBytes(path, bytes);
  MemoFile memo(path, MemoFormat::kFpt, DiskFile::Mode::kReadWrite, "orders");
  EXPECT_EQ(KindOf([&] { memo.Read(10); }), ErrorKind::kCorrupt);
  EXPECT_EQ(KindOf([&] { memo.Read(end_block + 2); }), ErrorKind::kCorrupt);
  std::vector<uint32_t> blocks;
  for (int i = 0; i < 40; ++i)
    blocks.push_back(memo.Append({1, std::string(200, static_cast<char>('a' + i % 26))}));
  EXPECT_EQ(KindOf([&] { memo.Read(10); }), ErrorKind::kCorrupt);
  EXPECT_EQ(KindOf([&] { memo.Read(blocks[0] + 2); }), ErrorKind::kCorrupt);
  for (size_t i = 0; i < blocks.size(); ++i)
    EXPECT_EQ(memo.Read(blocks[i]).data[0], 'a' + static_cast<char>(i % 26));
  EXPECT_EQ(memo.Read(12).data.substr(0, 15), "Memo of record ");
}
