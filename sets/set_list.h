// The set list of the main window's second tab: the find texts (Combo1) and
// the replace texts (Combo2), paired by position and applied in list order,
// with the operations of the buttons "Add Set", "Remove Selected Set" and
// "Clear All Sets" and the coupling of the two lists' selections.
//
// The set list lives in the two drop-down lists themselves; SetList only
// works on them through DropDownList, so the main window's combo boxes and
// the tests' plain lists serve alike. Every message and prompt goes through
// the Toolkit.
#pragma once

#include <string>
#include <vector>

#include "base/toolkit.h"
#include "sets/set_file.h"

namespace quillon {

// A drop-down list as the set operations use it. Positions count from 0;
// "none" is -1.
class DropDownList {
 public:
  virtual ~DropDownList() = default;
  virtual int Count() const = 0;
  virtual std::string Item(int index) const = 0;
  // Adds `text` at the end; the selection stays where it was.
  virtual void Append(const std::string& text) = 0;
  // Removes the entry at `index`. When it was the selected one the list then
  // has no selection; a selection after it moves up with its entry.
  virtual void RemoveAt(int index) = 0;
  // Removes every entry; no selection remains.
  virtual void Clear() = 0;
  virtual int Selected() const = 0;
  // Selects `index` (-1: none). The list's change notification follows only
  // when the selection really changes, so coupled lists settle after one
  // echo.
  virtual void Select(int index) = 0;
};

class SetList {
 public:
  // Positions are 16-bit signed numbers, so the list holds at most this many
  // sets.
  static constexpr int kMaxSets = 32767;

  static constexpr char kModule[] = "Form2";
  static constexpr char kAddSetPrompt[] =
      "Enter find and replace set (use :: to separate find text and replace text):";
  static constexpr char kAddSetPreset[] = "findwhat::replacewith";
  static constexpr char kMissingSeparator[] =
      "You must use :: to separate the find text from the replace text";
  static constexpr char kSaveTitle[] = "Save";
  static constexpr char kSaveFilter[] = "Text Files (*.txt)|*.txt|All Files (*.*)|*.*|";
  // Read-only box ticked, multiple selection, explorer style, long names; no
  // overwrite prompt (SaveSetFile asks itself).
  static constexpr unsigned kSaveFlags = 0x280201;

  // The lists and the toolkit are borrowed and must outlive the set list.
  SetList(DropDownList& find_list, DropDownList& replace_list, Toolkit& toolkit)
      : find_(find_list), replace_(replace_list), toolkit_(toolkit) {}

  // "Add Set" (PushButton10_Click): prompts for "find::replace" and appends
  // the first two pieces; an empty or cancelled answer does nothing, an
  // answer without "::" is refused with kMissingSeparator.
  void AddSet();

  // "Remove Selected Set" (PushButton7_Click): removes the selected entry of
  // the find list, then the selected entry of the replace list. Without a
  // selection nothing happens.
  void RemoveSelectedSet();

  // "Clear All Sets" (PushButton11_Click): empties both lists.
  void ClearAllSets();

  // "Save Sets" (PushButton13_Click): asks for a file name in a save dialog
  // and writes the sets there with SaveSetFile; a cancelled dialog does
  // nothing. Its statements, as its error report numbers them:
  enum class SaveSetsStep { kRequest = 100, kAskFileName = 102, kWriteFile = 104 };
  void SaveSets();

  // Selection coupling: the user chose an entry of the find list (Combo1
  // click or change) or of the replace list (Combo2); the other list takes
  // the same position, or none (also when it has no entry there). No error
  // trap: these run on every change of a selection.
  void FindListChosen();
  void ReplaceListChosen();

  // Appends one set: the find text to the find list, then the replace text to
  // the replace list. Throws std::length_error when the list is full.
  void Append(const ReplaceSet& set);

  // The sets in list order: position i of the find list with position i of
  // the replace list.
  int Count() const { return find_.Count(); }
  std::vector<ReplaceSet> Sets() const;

  DropDownList& find_list() { return find_; }
  DropDownList& replace_list() { return replace_; }
  Toolkit& toolkit() { return toolkit_; }

 private:
  DropDownList& find_;
  DropDownList& replace_;
  Toolkit& toolkit_;
};

}  // namespace quillon
