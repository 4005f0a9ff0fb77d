#include "shell/skin.h"

#include <QApplication>
#include <QFile>
#include <QString>
#include <QWidget>
#include <stdexcept>

#include "base/error.h"
#include "base/program_folder.h"
#include "shell/window_helpers.h"

namespace quillon {

void Skin::LoadSkin(const std::string& path) {
  QFile file(QString::fromStdString(path));
  if (!file.open(QIODevice::ReadOnly)) {
    throw Error(ErrorKind::kIo,
                "The skin file " + path + " cannot be read: " + file.errorString().toStdString() + ".");
  }
  style_sheet_ = QString::fromUtf8(file.readAll());
  file.close();
  loaded_ = true;
}

void Skin::ApplyWindow(QWidget& window) {
  if (!loaded_) throw Error(ErrorKind::kUsage, "No skin has been loaded.");
  if (apply_to_new_windows_) {
    qApp->setStyleSheet(style_sheet_);
  } else {
    window.setStyleSheet(style_sheet_);
  }
}

bool ApplySkin(QWidget& window, Skin& skin, const std::string& program_folder) {
  const std::string skin_file = BesideFolder(program_folder, kSkinFile);
  if (!IsVisiblePlainFile(skin_file)) return false;
  ResetBackColors(window);
  skin.LoadSkin(skin_file);
  skin.set_apply_to_new_windows(true);
  skin.ApplyWindow(window);
  return true;
}

}  // namespace quillon
