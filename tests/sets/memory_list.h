// A drop-down list held in memory that, like a combo box, notifies when its
// selection changes (and only then).
#pragma once

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "sets/set_list.h"

namespace testing_support {

class MemoryList : public quillon::DropDownList {
 public:
  int Count() const override { return static_cast<int>(items.size()); }
  std::string Item(int index) const override { return items.at(static_cast<size_t>(index)); }
  void Append(const std::string& text) override { items.push_back(text); }
  void RemoveAt(int index) override {
    items.erase(items.begin() + index);
    if (selected == index) {
      selected = -1;
    } else if (selected > index) {
      --selected;
    }
  }
  void Clear() override {
    items.clear();
    selected = -1;
  }
  int Selected() const override { return selected; }
  void Select(int index) override {
    if (index < -1 || index >= Count()) throw std::out_of_range("no such entry");
    if (index == selected) return;
    selected = index;
    ++changes;
    if (on_change) on_change();
  }

  std::vector<std::string> items;
  int selected = -1;
  int changes = 0;
  std::function<void()> on_change;
};

}  // namespace testing_support
