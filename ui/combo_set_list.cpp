#include "ui/combo_set_list.h"

#include <QComboBox>
#include <QSignalBlocker>
#include <stdexcept>

#include "base/error.h"

namespace quillon {
namespace {

void CheckIndex(const QComboBox& box, int index) {
  if (index < 0 || index >= box.count()) {
    throw Error(ErrorKind::kUsage, "The list " + box.objectName().toStdString() + " has no entry " +
                                       std::to_string(index) + ".");
  }
}

}  // namespace

int ComboBoxList::Count() const { return box_.count(); }

std::string ComboBoxList::Item(int index) const {
  CheckIndex(box_, index);
  return box_.itemText(index).toStdString();
}

void ComboBoxList::Append(const std::string& text) {
  const int selected = box_.currentIndex();
  const QSignalBlocker quiet(box_);
  box_.addItem(QString::fromStdString(text));
  box_.setCurrentIndex(selected);
}

void ComboBoxList::RemoveAt(int index) {
  CheckIndex(box_, index);
  const int selected = box_.currentIndex();
  const QSignalBlocker quiet(box_);
  box_.removeItem(index);
  box_.setCurrentIndex(selected == index ? -1 : selected > index ? selected - 1 : selected);
}

void ComboBoxList::Clear() {
  const QSignalBlocker quiet(box_);
  box_.clear();
}

int ComboBoxList::Selected() const { return box_.currentIndex(); }

void ComboBoxList::Select(int index) {
  if (index != -1) CheckIndex(box_, index);
  box_.setCurrentIndex(index);  // notifies only when the index changes
}

ComboSetList::ComboSetList(QComboBox& combo1, QComboBox& combo2, Toolkit& toolkit)
    : QObject(&combo1), find_(combo1), replace_(combo2), set_list_(find_, replace_, toolkit) {
  // A click on an entry (activated) or any change of the selection.
  connect(&combo1, &QComboBox::activated, this, [this] { set_list_.FindListChosen(); });
  connect(&combo1, &QComboBox::currentIndexChanged, this, [this] { set_list_.FindListChosen(); });
  connect(&combo2, &QComboBox::activated, this, [this] { set_list_.ReplaceListChosen(); });
  connect(&combo2, &QComboBox::currentIndexChanged, this, [this] { set_list_.ReplaceListChosen(); });
}

}  // namespace quillon
