#include "sets/set_list.h"

#include <optional>
#include <stdexcept>

#include "base/error.h"
#include "base/error_report.h"

namespace quillon {
namespace {

// The statements of PushButton10_Click.
enum class AddSetStep { kPrompt = 100, kSplit = 102, kNoSeparator = 104, kAppend = 106 };

// The statements of PushButton7_Click.
enum class RemoveSelectedSetStep { kRemoveFind = 100, kRemoveReplace = 102 };

// The statements of PushButton11_Click.
enum class ClearAllSetsStep { kClearFind = 100, kClearReplace = 102 };

}  // namespace

void SetList::AddSet() {
  ErrorTrap trap(toolkit_, kModule, "PushButton10_Click");
  std::string answer;
  std::optional<ReplaceSet> set;
  trap.Step(AddSetStep::kPrompt, [&] { answer = toolkit_.Prompt(kAddSetPrompt, "", kAddSetPreset); });
  if (answer.empty()) return;
  trap.Step(AddSetStep::kSplit, [&] { set = SplitSetLine(answer, kDefaultSetSeparator); });
  if (!set) {
    trap.Step(AddSetStep::kNoSeparator, [&] { toolkit_.ShowMessage(kMissingSeparator); });
    return;
  }
  trap.Step(AddSetStep::kAppend, [&] { Append(*set); });
}

void SetList::RemoveSelectedSet() {
  ErrorTrap trap(toolkit_, kModule, "PushButton7_Click");
  trap.Step(RemoveSelectedSetStep::kRemoveFind, [&] {
    if (find_.Selected() != -1) find_.RemoveAt(find_.Selected());
  });
  trap.Step(RemoveSelectedSetStep::kRemoveReplace, [&] {
    if (replace_.Selected() != -1) replace_.RemoveAt(replace_.Selected());
  });
}

void SetList::ClearAllSets() {
  ErrorTrap trap(toolkit_, kModule, "PushButton11_Click");
  trap.Step(ClearAllSetsStep::kClearFind, [&] { find_.Clear(); });
  trap.Step(ClearAllSetsStep::kClearReplace, [&] { replace_.Clear(); });
}

void SetList::SaveSets() {
  ErrorTrap trap(toolkit_, kModule, "PushButton13_Click");
  FileDialogRequest request;
  std::string path;
  trap.Step(SetList::SaveSetsStep::kRequest, [&] {
    request.file_name = "";
    request.title = kSaveTitle;
    request.filter = kSaveFilter;
    request.flags = kSaveFlags;
  });
  trap.Step(SetList::SaveSetsStep::kAskFileName, [&] { path = toolkit_.ShowSaveDialog(request); });
  if (path.empty()) return;
  trap.Step(SetList::SaveSetsStep::kWriteFile, [&] { SaveSetFile(toolkit_, path, Sets()); });
}

namespace {

// Selects in `to` the position selected in `from`, or none when `to` has no
// entry there.
void Follow(const DropDownList& from, DropDownList& to) {
  const int index = from.Selected();
  to.Select(index >= 0 && index < to.Count() ? index : -1);
}

}  // namespace

void SetList::FindListChosen() { Follow(find_, replace_); }

void SetList::ReplaceListChosen() { Follow(replace_, find_); }

void SetList::Append(const ReplaceSet& set) {
  if (find_.Count() >= kMaxSets || replace_.Count() >= kMaxSets) {
    throw Error(ErrorKind::kInput,
                "The set list is full: it holds at most " + std::to_string(kMaxSets) + " sets.");
  }
  find_.Append(set.find);
  replace_.Append(set.replace);
}

std::vector<ReplaceSet> SetList::Sets() const {
  std::vector<ReplaceSet> sets;
  const int count = find_.Count();
  sets.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) sets.push_back({find_.Item(i), replace_.Item(i)});
  return sets;
}

}  // namespace quillon
