#include "shell/settings_store.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/settings_sandbox.h"
#include "tests/support/test_support.h"

namespace fs = std::filesystem;
namespace settings = quillon::settings;
using quillon::GetSetting;
using quillon::SaveSetting;
using testing_support::SettingsSandbox;

namespace {

// Runs the settings probe (a second program) on the sandbox's store.
std::string Probe(const SettingsSandbox& sandbox, const std::string& arguments, int* exit_code = nullptr) {
  return testing_support::RunCommand("XDG_CONFIG_HOME='" + sandbox.folder() + "' '" QUILLON_SETTINGS_PROBE "' " +
                                         arguments,
                                     exit_code);
}

}  // namespace

TEST(SettingsStoreTest, FirstStartReadsEveryDefaultAndCreatesNothing) {
  SettingsSandbox sandbox;
  const std::vector<std::pair<const char*, const char*>> keys = {
      {settings::kFoxproOption, settings::kFoxproOptionDefault},
      {settings::kFreeTableFolder, settings::kFreeTableFolderDefault},
      {settings::kDBCFile, settings::kDBCFileDefault},
      {settings::kTabControl1, settings::kTabControl1Default},
      {settings::kText1, settings::kText1Default},
      {settings::kText2, settings::kText2Default},
      {settings::kLoadSetsSeparator, settings::kLoadSetsSeparatorDefault},
  };
  for (const auto& [key, default_value] : keys) EXPECT_EQ(GetSetting(key, default_value), default_value) << key;

  // The defaults the windows rely on.
  EXPECT_EQ(GetSetting("TabControl1", "0"), "0");
  EXPECT_EQ(GetSetting("Form2.Text2", "::"), "::");
  EXPECT_NE(GetSetting("FoxproOption", ""), settings::kFolderKind);  // a DBC database
  EXPECT_FALSE(fs::exists(sandbox.file()));
}

TEST(SettingsStoreTest, AWriteIsWhatTheNextReadSees) {
  SettingsSandbox sandbox;
  SaveSetting("FreeTableFolder", "/data/tables");
  EXPECT_EQ(GetSetting("FreeTableFolder", ""), "/data/tables");
  SaveSetting("FreeTableFolder", "/data/other");
  EXPECT_EQ(GetSetting("FreeTableFolder", ""), "/data/other");
  // An empty value is stored as such, not taken for a missing key.
  SaveSetting("TabControl1", "");
  EXPECT_EQ(GetSetting("TabControl1", "0"), "");
  // Keys are independent of one another.
  EXPECT_EQ(GetSetting("DBCFile", "none"), "none");
}

TEST(SettingsStoreTest, TextsComeBackExactlyAsStored) {
  SettingsSandbox sandbox;
  const std::vector<std::string> values = {
      "  spaces at both ends  ",
      "a, b; c = d",
      "\"quoted\" and 'quoted'",
      "C:\\Data\\Tables\\",
      "@Variant(not a variant)",
      "Grüße, Ørsted, 東京",
      "line one\nline two\r\n",
      "[Quillon]",
      "#not a comment",
  };
  for (const std::string& value : values) {
    SaveSetting("Text1", value);
    EXPECT_EQ(GetSetting("Text1", "default"), value);
  }
}

TEST(SettingsStoreTest, StoreIsVelmoraConfWithTheQuillonSection) {
  SettingsSandbox sandbox;
  SaveSetting("FoxproOption", "2");
  SaveSetting("Form2.Text2", ",");
  ASSERT_TRUE(fs::exists(sandbox.file()));
  const std::string text = testing_support::ReadFileBytes(sandbox.file());
  EXPECT_NE(text.find("[Quillon]"), std::string::npos) << text;
  EXPECT_NE(text.find("FoxproOption=2"), std::string::npos) << text;
  EXPECT_NE(text.find("Form2.Text2=\",\""), std::string::npos) << text;
}

TEST(SettingsStoreTest, SurvivesARestartInBothDirections) {
  SettingsSandbox sandbox;
  SaveSetting("Text1", " find me ");
  SaveSetting("DBCFile", "/data/shop.dbc");
  // Every write is on disk as soon as SaveSetting returns.
  EXPECT_EQ(Probe(sandbox, "get Text1 ''"), " find me ");
  EXPECT_EQ(Probe(sandbox, "get DBCFile ''"), "/data/shop.dbc");
  EXPECT_EQ(Probe(sandbox, "get Text2 fallback"), "fallback");

  // What another start writes is seen by this one's next read.
  int exit_code = -1;
  Probe(sandbox, "set Text1 'from the next start'", &exit_code);
  ASSERT_EQ(exit_code, 0);
  EXPECT_EQ(GetSetting("Text1", ""), "from the next start");
  EXPECT_EQ(GetSetting("DBCFile", ""), "/data/shop.dbc");
}

TEST(SettingsStoreTest, AWriteThatCannotReachTheStoreThrows) {
  SettingsSandbox sandbox;
  // A folder where the file should be: the store cannot be written.
  fs::create_directory(sandbox.file());
  EXPECT_THROW(SaveSetting("Text1", "x"), std::runtime_error);
}
