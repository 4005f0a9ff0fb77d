// The per-user settings store: named text values that survive restarts.
//
// Values live under the organisation Velmora, section Quillon. On Linux that
// is the group [Quillon] of Velmora.conf in the user's configuration folder
// ($XDG_CONFIG_HOME, by default ~/.config); on Windows the registry key
// HKEY_CURRENT_USER\Software\Velmora\Quillon. There is no copy in memory:
// every read asks the store and every write reaches it before SaveSetting
// returns, so what one window writes is what the next reader sees, in this
// process or in the next start of the program. Keys are never deleted or
// listed.
//
// This header is the store's contract, without Qt; the store itself is kept
// over QSettings by the program's Qt side (shell/settings_store.cpp), which
// programs without windows do not link.
#pragma once

#include <string>

namespace quillon {

// The keys of the store and what each holds.
namespace settings {
// The data source kind: "1" for a DBC database, "2" for a folder of free
// tables. Every value other than "2" means a DBC database.
inline constexpr char kFoxproOption[] = "FoxproOption";
// The folder of free tables, exactly as typed or chosen.
inline constexpr char kFreeTableFolder[] = "FreeTableFolder";
// The full path of the DBC database file.
inline constexpr char kDBCFile[] = "DBCFile";
// The index of the main window's selected tab as decimal text: "0" for the
// single pair, "1" for the set list.
inline constexpr char kTabControl1[] = "TabControl1";
// The main window's single find text and replace text.
inline constexpr char kText1[] = "Text1";
inline constexpr char kText2[] = "Text2";
// The undo journal of the last run that changed data, for "Undo Last Run".
inline constexpr char kLastUndoJournal[] = "LastUndoJournal";
// The separator of the Load Sets window (the key bears the main window's
// name although the box belongs to the Load Sets window).
inline constexpr char kLoadSetsSeparator[] = "Form2.Text2";

// What each key reads as while the store does not hold it.
inline constexpr char kFoxproOptionDefault[] = "";
inline constexpr char kFreeTableFolderDefault[] = "";
inline constexpr char kDBCFileDefault[] = "";
inline constexpr char kTabControl1Default[] = "0";
inline constexpr char kText1Default[] = "";
inline constexpr char kText2Default[] = "";
inline constexpr char kLoadSetsSeparatorDefault[] = "::";
inline constexpr char kLastUndoJournalDefault[] = "";

// The stored value of FoxproOption that means a folder of free tables.
inline constexpr char kFolderKind[] = "2";
inline constexpr char kDBCKind[] = "1";
}  // namespace settings

// The organisation and section every value is stored under.
inline constexpr char kSettingsOrganisation[] = "Velmora";
inline constexpr char kSettingsSection[] = "Quillon";

// The stored text of `key` (UTF-8), or `default_value` when the store does not
// hold the key. Throws quillon::Error when the store cannot be read.
std::string GetSetting(const std::string& key, const std::string& default_value);

// Stores `value` under `key`, creating or overwriting it, and writes the store
// out at once. Throws quillon::Error when the store cannot be written.
void SaveSetting(const std::string& key, const std::string& value);

// Keeps the store as the file Velmora.conf in `folder` (same layout as on
// Linux) instead of the platform's place; "" goes back to the platform's
// place. For tests, which must never touch the user's own settings.
void SetSettingsFolder(const std::string& folder);

}  // namespace quillon
