#include "sets/set_list.h"

#include <optional>
#include <stdexcept>

#include "base/error_report.h"

namespace quillon {

void SetList::AddSet() {
  ErrorTrap trap(toolkit_, kModule, "PushButton10_Click");
  std::string answer;
  std::optional<ReplaceSet> set;
  trap.Step(100, [&] { answer = toolkit_.Prompt(kAddSetPrompt, "", kAddSetPreset); });
  if (answer.empty()) return;
  trap.Step(102, [&] { set = SplitSetLine(answer, kDefaultSetSeparator); });
  if (!set) {
    trap.Step(104, [&] { toolkit_.ShowMessage(kMissingSeparator); });
    return;
  }
  trap.Step(106, [&] { Append(*set); });
}

void SetList::RemoveSelectedSet() {
  ErrorTrap trap(toolkit_, kModule, "PushButton7_Click");
  trap.Step(100, [&] {
    if (find_.Selected() != -1) find_.RemoveAt(find_.Selected());
  });
  trap.Step(102, [&] {
    if (replace_.Selected() != -1) replace_.RemoveAt(replace_.Selected());
  });
}

void SetList::ClearAllSets() {
  ErrorTrap trap(toolkit_, kModule, "PushButton11_Click");
  trap.Step(100, [&] { find_.Clear(); });
  trap.Step(102, [&] { replace_.Clear(); });
}

void SetList::SaveSets() {
  ErrorTrap trap(toolkit_, kModule, "PushButton13_Click");
  FileDialogRequest request;
  std::string path;
  trap.Step(100, [&] {
    request.file_name = "";
    request.title = kSaveTitle;
    request.filter = kSaveFilter;
    request.flags = kSaveFlags;
  });
  trap.Step(102, [&] { path = toolkit_.ShowSaveDialog(request); });
  if (path.empty()) return;
  trap.Step(104, [&] { SaveSetFile(toolkit_, path, Sets()); });
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
    throw std::length_error("The set list is full: it holds at most " + std::to_string(kMaxSets) + " sets.");
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
