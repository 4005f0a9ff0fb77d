#include "base/settings_store.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/settings_sandbox.h"
#include "tests/support/test_support.h"

namespace fs = std::filesystem;
namespace settings = quillon::settings;
using quillon::GetSetting;
using quillon::SaveSetting;
using testing_support::SettingsSandbox;
using testing_support::TempDir;

TEST(SettingsStoreTest, FirstStartReadsEveryDefaultAndCreatesNothing) {
  SettingsSandbox sandbox;
  EXPECT_EQ(GetSetting(settings::kFoxproOption, settings::kFoxproOptionDefault), "");  // a DBC database
  EXPECT_EQ(GetSetting(settings::kFreeTableFolder, settings::kFreeTableFolderDefault), "");
  EXPECT_EQ(GetSetting(settings::kDBCFile, settings::kDBCFileDefault), "");
  EXPECT_EQ(GetSetting(settings::kTabControl1, settings::kTabControl1Default), "0");
  EXPECT_EQ(GetSetting(settings::kText1, settings::kText1Default), "");
  EXPECT_EQ(GetSetting(settings::kText2, settings::kText2Default), "");
  EXPECT_EQ(GetSetting(settings::kLoadSetsSeparator, settings::kLoadSetsSeparatorDefault), "::");
  EXPECT_FALSE(fs::exists(sandbox.file()));
}

TEST(SettingsStoreTest, AWriteIsWhatTheNextReadSeesExactly) {
  SettingsSandbox sandbox;
  SaveSetting("TabControl1", "");  // stored empty, not taken for missing
  EXPECT_EQ(GetSetting("TabControl1", "0"), "");
  for (const std::string value :
       {"  spaces at both ends  ", "a, b; c = d", "\"quoted\"", "C:\\Data\\Tables\\", "@Variant(not one)",
        "Grüße, 東京", "line one\nline two\r\n", "[Quillon]"}) {
    SaveSetting("Text1", value);
    EXPECT_EQ(GetSetting("Text1", "default"), value);
  }
  EXPECT_EQ(GetSetting("DBCFile", "none"), "none");
}

TEST(SettingsStoreTest, IsVelmoraConfWithAQuillonSectionAndSurvivesARestart) {
  SettingsSandbox sandbox;
  SaveSetting("FoxproOption", "2");
  SaveSetting("Text1", " find me ");
  // Qt writes the file with the platform's line ends.
  const std::string text = testing_support::WithLfLineEnds(testing_support::ReadFileBytes(sandbox.file()));
  EXPECT_NE(text.find("[Quillon]\nFoxproOption=2\n"), std::string::npos) << text;

  // A second program on the same store sees every write at once, and this
  // program sees what the second one writes.
  TempDir scratch;
  auto probe = [&](std::vector<std::string> args, int* exit_code = nullptr) {
    int code = -1;
    const std::string out =
        testing_support::RunProgram(QUILLON_SETTINGS_PROBE, args, {{"XDG_CONFIG_HOME", sandbox.folder()}},
                                    scratch.Sub("errors.txt"), &code);
    if (exit_code != nullptr) *exit_code = code;
    return out;
  };
  EXPECT_EQ(probe({"get", "Text1", ""}), " find me ");
  EXPECT_EQ(probe({"get", "Text2", "fallback"}), "fallback");
  int exit_code = -1;
  probe({"set", "Text1", "from the next start"}, &exit_code);
  ASSERT_EQ(exit_code, 0) << testing_support::ReadFileBytes(scratch.Sub("errors.txt"));
  EXPECT_EQ(GetSetting("Text1", ""), "from the next start");
}

TEST(SettingsStoreTest, AWriteThatCannotReachTheStoreThrows) {
  SettingsSandbox sandbox;
  fs::create_directory(sandbox.file());  // a folder where the file should be
  EXPECT_THROW(SaveSetting("Text1", "x"), std::runtime_error);
}
