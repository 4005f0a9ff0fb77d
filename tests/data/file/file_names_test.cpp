// File names copied from Windows: found whatever their case, and stored
// relative paths with "\" separators resolved on this system.
#include "data/file/file_names.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "data/file/utf8_path.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;
using fox::EqualIgnoringCase;
using fox::FindCompanionFile;
using fox::FindFileIgnoringCase;
using fox::LowerAscii;
using fox::ResolveStoredPath;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

class FileNames : public testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir_.path() / "Data" / "SUB");
    WriteFileBytes(dir_.Sub("Data/ORDERS.DBF"), "");
    WriteFileBytes(dir_.Sub("Data/Orders.FPT"), "");
    WriteFileBytes(dir_.Sub("Data/SUB/Shop.DBC"), "");
    WriteFileBytes(dir_.Sub("Data/my.table.dbf"), "");
    WriteFileBytes(dir_.Sub("Data/MY.TABLE.cdx"), "");
  }
  std::string In(const std::string& relative) const { return (dir_.path() / relative).string(); }

  TempDir dir_;
};

// The file expected: on Linux the very name, case included; on Windows,
// whose file systems ignore case, the file that name leads to.
void ExpectFile(const std::optional<std::string>& found, const std::string& expected) {
  ASSERT_TRUE(found.has_value()) << expected;
#ifdef _WIN32
  std::error_code ec;
  EXPECT_TRUE(fs::equivalent(fox::PathFromUtf8(*found), fox::PathFromUtf8(expected), ec))
      << *found << " " << expected;
#else
  EXPECT_EQ(*found, expected);
#endif
}

TEST_F(FileNames, FindsEntriesWhateverTheirCase) {
  ExpectFile(FindFileIgnoringCase(In("Data"), "orders.dbf"), In("Data/ORDERS.DBF"));
  ExpectFile(FindFileIgnoringCase(In("Data"), "ORDERS.DBF"), In("Data/ORDERS.DBF"));
  ExpectFile(FindFileIgnoringCase(In("Data"), "sub"), In("Data/SUB"));
  EXPECT_EQ(FindFileIgnoringCase(In("Data"), "orders.cdx"), std::nullopt);
  EXPECT_EQ(FindFileIgnoringCase(In("Data"), "orders"), std::nullopt);  // no prefix matches
  EXPECT_EQ(FindFileIgnoringCase(In("Missing"), "orders.dbf"), std::nullopt);
  EXPECT_EQ(FindFileIgnoringCase(In("Data"), ""), std::nullopt);
}

TEST_F(FileNames, PrefersTheExactNameAmongCaseTwins) {
  WriteFileBytes(In("Data/orders.fpt"), "");
  ExpectFile(FindFileIgnoringCase(In("Data"), "Orders.FPT"), In("Data/Orders.FPT"));
  ExpectFile(FindFileIgnoringCase(In("Data"), "orders.fpt"), In("Data/orders.fpt"));
  // No exact match: the choice does not depend on the listing order.
  ExpectFile(FindFileIgnoringCase(In("Data"), "ORDERS.fpt"), In("Data/Orders.FPT"));
}

TEST_F(FileNames, FindsCompanionFiles) {
  ExpectFile(FindCompanionFile(In("Data/ORDERS.DBF"), ".fpt"), In("Data/Orders.FPT"));
  ExpectFile(FindCompanionFile(In("Data/orders.dbf"), "fpt"), In("Data/Orders.FPT"));
  EXPECT_EQ(FindCompanionFile(In("Data/ORDERS.DBF"), ".cdx"), std::nullopt);
  // Only the last dot starts the extension.
  ExpectFile(FindCompanionFile(In("Data/my.table.dbf"), ".CDX"), In("Data/MY.TABLE.cdx"));
}

TEST_F(FileNames, ResolvesStoredWindowsPaths) {
  ExpectFile(ResolveStoredPath(In("Data"), "sub\\shop.dbc"), In("Data/SUB/Shop.DBC"));
  ExpectFile(ResolveStoredPath(In("Data"), "SUB/SHOP.DBC"), In("Data/SUB/Shop.DBC"));
  ExpectFile(ResolveStoredPath(In("Data"), ".\\sub\\\\shop.dbc"), In("Data/SUB/Shop.DBC"));
  ExpectFile(ResolveStoredPath(In("Data/SUB"), "..\\orders.dbf"), In("Data/ORDERS.DBF"));
  ExpectFile(ResolveStoredPath(In("Data/SUB/"), "..\\..\\data\\sub\\shop.dbc"), In("Data/SUB/Shop.DBC"));
  EXPECT_EQ(ResolveStoredPath(In("Data"), "sub\\nothing.dbc"), std::nullopt);
  EXPECT_EQ(ResolveStoredPath(In("Data"), "nothing\\shop.dbc"), std::nullopt);
  EXPECT_EQ(ResolveStoredPath(In("Data"), ""), std::nullopt);
  EXPECT_EQ(ResolveStoredPath(In("Data"), ".."), std::nullopt);  // names no file
#ifndef _WIN32
  // A drive of the machine that wrote the path means nothing here.
  EXPECT_EQ(ResolveStoredPath(In("Data"), "C:\\Data\\orders.dbf"), std::nullopt);
#endif
}

TEST(FileNameText, ComparesAsciiOnlyIgnoringCase) {
  EXPECT_TRUE(EqualIgnoringCase("Orders.DBF", "oRDERS.dbf"));
  EXPECT_FALSE(EqualIgnoringCase("orders.dbf", "orders.dbf "));
  EXPECT_FALSE(EqualIgnoringCase("a[", "A{"));              // '[' and '{' are 32 apart but not letters
  EXPECT_FALSE(EqualIgnoringCase("\xC3\x84", "\xC3\xA4"));  // Ä and ä are not folded
  EXPECT_EQ(LowerAscii("ÄB@Z[x"), "Äb@z[x");
}

}  // namespace
