#include "shell/add_folder.h"

#include <QDir>
#include <QFileDialog>
#include <QString>

namespace quillon {

std::string BrowseForFolder(QWidget* owner, const std::string& prompt, const std::string& start_folder) {
  const QString chosen = QFileDialog::getExistingDirectory(
      owner, QString::fromStdString(prompt), QString::fromLocal8Bit(start_folder), QFileDialog::ShowDirsOnly);
  if (chosen.isEmpty()) return {};
  // Paths travel as narrow strings in the platform's code page, like every
  // other path of the program.
  return QDir::toNativeSeparators(chosen).toLocal8Bit().toStdString();
}

}  // namespace quillon
