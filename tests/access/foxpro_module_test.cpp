#include "access/foxpro_module.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>

#include "base/file_helpers.h"
#include "tests/support/test_support.h"

namespace fs = std::filesystem;
using quillon::FoxPro;
using quillon::RecordingErrorSink;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

namespace {

const std::string kSep(1, quillon::kPathSeparator);

// The data source window's state, changeable between calls.
struct FakeDataSource : quillon::DataSourceView {
  bool dbc = false;
  std::string dbc_path;
  std::string folder;

  quillon::DataSource Current() const override {
    return {dbc ? quillon::DataSourceKind::kDbc : quillon::DataSourceKind::kFreeTables, dbc_path, folder};
  }
};

struct FoxProTest : ::testing::Test {
  FakeDataSource source;
  RecordingErrorSink sink;
  FoxPro foxpro{source, sink};

  void UseFolder(const std::string& folder) {
    source.dbc = false;
    source.folder = folder;
  }
  void UseDbc(const std::string& path) {
    source.dbc = true;
    source.dbc_path = path;
  }
  // The single report shown, which must name `procedure`.
  void ExpectOneReportFrom(const std::string& procedure) {
    ASSERT_EQ(sink.reports.size(), 1u);
    EXPECT_EQ(sink.reports[0].title, "Application Error");
    EXPECT_NE(sink.reports[0].text.find("in Brenlow2021/08/31.FoxPro." + procedure + " at line "),
              std::string::npos)
        << sink.reports[0].text;
  }
};

void Touch(const TempDir& dir, const std::string& name) { WriteFileBytes(dir.Sub(name), "x"); }

std::vector<std::string> ListingOrder(const TempDir& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir.path()))
    names.push_back(entry.path().filename().string());
  return names;
}

}  // namespace

TEST_F(FoxProTest, PathsAndConnectionStringFollowTheWindowAtEachCall) {
  const std::string prefix = "Driver={Microsoft Visual FoxPro Driver};SourceType=";
  UseFolder("dir");
  EXPECT_EQ(foxpro.GetPath(), "dir" + kSep);
  EXPECT_EQ(quillon::ConnectionStringOf(source.Current()), prefix + "DBF;SourceDB=dir;Exclusive=No;");
  source.folder = "dir" + kSep;
  EXPECT_EQ(foxpro.GetPath(), "dir" + kSep);
  EXPECT_EQ(quillon::ConnectionStringOf(source.Current()),
            prefix + "DBF;SourceDB=dir" + kSep + ";Exclusive=No;");
  source.folder = "odd;name";
  EXPECT_EQ(quillon::ConnectionStringOf(source.Current()), prefix + "DBF;SourceDB=odd;name;Exclusive=No;");
  source.folder = "";
  EXPECT_EQ(foxpro.GetPath(), kSep);
  source.dbc_path = "a;b.dbc";  // not read for the folder kind
  EXPECT_EQ(foxpro.GetDBName(), "");

  source.dbc = true;
  EXPECT_EQ(foxpro.GetPath(), "");
  EXPECT_EQ(foxpro.GetDBName(), "a;b.dbc");
  EXPECT_EQ(quillon::ConnectionStringOf(source.Current()), prefix + "DBC;SourceDB=a;b.dbc;Exclusive=No;");
  EXPECT_TRUE(sink.reports.empty());
}

TEST_F(FoxProTest, FolderIsValidOnlyWithATableFileNotBeginningWithTilde) {
  TempDir dir;
  UseFolder(dir.path().string());
  EXPECT_FALSE(foxpro.IsValidFoxProConnection()) << "empty folder";
  Touch(dir, "~x.dbf");
  fs::create_directory(dir.path() / "sub.dbf");
  Touch(dir, "notes.txt");
  EXPECT_FALSE(foxpro.IsValidFoxProConnection()) << "only a work file and a folder";
  Touch(dir, ".x.dbf");
  EXPECT_TRUE(foxpro.IsValidFoxProConnection()) << "a hidden table counts";
  UseFolder(dir.path().string() + kSep);
  EXPECT_TRUE(foxpro.IsValidFoxProConnection());
  EXPECT_TRUE(sink.reports.empty());
}

TEST_F(FoxProTest, FolderThatCannotBeListedIsReportedOnceButAMissingOneSilently) {
  TempDir dir;
  UseFolder(dir.Sub("missing"));
  EXPECT_FALSE(foxpro.IsValidFoxProConnection());
  EXPECT_TRUE(sink.reports.empty());

  Touch(dir, "plain.dbf");
  UseFolder(dir.Sub("plain.dbf"));
  EXPECT_FALSE(foxpro.IsValidFoxProConnection());
  ExpectOneReportFrom("IsValidFoxProConnection");
  EXPECT_NE(sink.reports[0].text.find(dir.Sub("plain.dbf")), std::string::npos) << "names the folder";
}

TEST_F(FoxProTest, DbcIsValidWhenTheContainerFileExists) {
  TempDir dir;
  UseDbc("");
  EXPECT_FALSE(foxpro.IsValidFoxProConnection());
  UseDbc(dir.Sub("missing.dbc"));
  EXPECT_FALSE(foxpro.IsValidFoxProConnection());
  Touch(dir, "shop.dbc");
  UseDbc(dir.Sub("shop.dbc"));
  EXPECT_TRUE(foxpro.IsValidFoxProConnection());
  // The tilde rule belongs to folders only.
  Touch(dir, "~shop.dbc");
  UseDbc(dir.Sub("~shop.dbc"));
  EXPECT_TRUE(foxpro.IsValidFoxProConnection());
  EXPECT_TRUE(sink.reports.empty());
}

TEST_F(FoxProTest, FolderTablesAreListedWithoutExtensionOrWorkFiles) {
  TempDir dir;
  Touch(dir, "a.dbf");
  Touch(dir, "B.DBF");
  Touch(dir, "~tmp.dbf");
  Touch(dir, ".hidden.dbf");
  Touch(dir, "a.fpt");
  std::vector<std::string> expected;
  for (const std::string& name : ListingOrder(dir)) {
    if (name == "a.dbf") expected.push_back("a");
    if (name == "B.DBF") expected.push_back("B");
    if (name == ".hidden.dbf") expected.push_back(".hidden");
  }

  UseFolder(dir.path().string());
  std::vector<std::string> list{"kept"};
  foxpro.AddTablesToFoxproListbox(list);
  std::vector<std::string> once{"kept"};
  once.insert(once.end(), expected.begin(), expected.end());
  EXPECT_EQ(list, once);

  // A second call appends again; nothing is removed or merged.
  UseFolder(dir.path().string() + kSep);
  foxpro.AddTablesToFoxproListbox(list);
  std::vector<std::string> twice = once;
  twice.insert(twice.end(), expected.begin(), expected.end());
  EXPECT_EQ(list, twice);
  EXPECT_TRUE(sink.reports.empty());
}

TEST_F(FoxProTest, FolderListingFailureEndsTheCatalogueAfterOneReport) {
  TempDir dir;
  Touch(dir, "plain.dbf");
  UseFolder(dir.Sub("plain.dbf"));
  std::vector<std::string> list;
  foxpro.AddTablesToFoxproListbox(list);
  EXPECT_TRUE(list.empty());
  ExpectOneReportFrom("AddTablesToFoxproListbox");

  sink.reports.clear();
  UseFolder(dir.Sub("missing"));
  foxpro.AddTablesToFoxproListbox(list);
  EXPECT_TRUE(list.empty());
  EXPECT_TRUE(sink.reports.empty());
}

TEST_F(FoxProTest, RowThatCannotBeAddedIsReportedAndSkipped) {
  struct PickyList : quillon::TableList {
    std::vector<std::string> rows;
    void AddItem(const std::string& name) override {
      if (name == "bad") throw std::runtime_error("The list refuses bad.");
      rows.push_back(name);
    }
  } list;
  TempDir dir;
  Touch(dir, "good.dbf");
  Touch(dir, "bad.dbf");
  Touch(dir, "fine.dbf");
  UseFolder(dir.path().string());
  foxpro.AddTablesToFoxproListbox(list);
  std::sort(list.rows.begin(), list.rows.end());
  EXPECT_EQ(list.rows, (std::vector<std::string>{"fine", "good"}));
  ExpectOneReportFrom("AddTablesToFoxproListbox");
  EXPECT_EQ(sink.reports[0].text.rfind("The list refuses bad.\r\n", 0), 0u);
}

TEST_F(FoxProTest, DbcTablesAreListedWithoutViews) {
  struct Case {
    const char* fixture_folder;
    const char* container;
    std::vector<std::string> tables;
  };
  const Case cases[] = {
      {"foxbin2prg", "fb2p_dbc.dbc", {"fb2p_depto", "nombrelargodeldbf"}},
      {"go-dbase/database",
       "EXPENSES.DBC",
       {"employees", "expense_categories", "expense_details", "expense_reports"}},
  };
  for (const Case& c : cases) {
    TempDir dir;
    const std::string folder = testing_support::CopyFixtureFolder(dir, c.fixture_folder);
    UseDbc((fs::path(folder) / c.container).string());
    std::vector<std::string> list;
    foxpro.AddTablesToFoxproListbox(list);
    EXPECT_EQ(list, c.tables) << c.container;
  }
  EXPECT_TRUE(sink.reports.empty()) << sink.reports[0].text;
}

TEST_F(FoxProTest, MissingContainerIsReportedOnce) {
  TempDir dir;
  UseDbc(dir.Sub("missing.dbc"));
  std::vector<std::string> list;
  foxpro.AddTablesToFoxproListbox(list);
  EXPECT_TRUE(list.empty());
  ExpectOneReportFrom("AddTablesToFoxproListbox");
}
