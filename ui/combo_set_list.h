// The set list over the main window's two combo boxes: Combo1 holds the find
// texts, Combo2 the replace texts. Choosing an entry in either box selects
// the same position in the other.
#pragma once

#include <QObject>
#include <string>

#include "sets/set_list.h"

class QComboBox;

namespace quillon {

// A QComboBox as a DropDownList. Entries are UTF-8 texts; adding and removing
// entries never changes the selection the way QComboBox would on its own (it
// selects the first entry added to an empty box and a neighbour of a removed
// selected entry), and raises no change notification.
class ComboBoxList : public DropDownList {
 public:
  explicit ComboBoxList(QComboBox& box) : box_(box) {}

  int Count() const override;
  std::string Item(int index) const override;
  void Append(const std::string& text) override;
  void RemoveAt(int index) override;
  void Clear() override;
  int Selected() const override;
  void Select(int index) override;

 private:
  QComboBox& box_;
};

// The set list of the two boxes with their selection coupling wired up. The
// main window connects its buttons to set_list()'s operations. A child of
// `combo1`.
class ComboSetList : public QObject {
  Q_OBJECT

 public:
  ComboSetList(QComboBox& combo1, QComboBox& combo2, Toolkit& toolkit);

  SetList& set_list() { return set_list_; }

 private:
  ComboBoxList find_;
  ComboBoxList replace_;
  SetList set_list_;
};

}  // namespace quillon
