#include "shell/skin.h"

#include <QApplication>
#include <QFile>
#include <QString>
#include <QWidget>
#include <stdexcept>

#include "base/error.h"
#include "base/program_folder.h"
#include "shell/window_helpers.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

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
  if (!loaded_) throw std::logic_error("No skin has been loaded.");
  if (apply_to_new_windows_) {
    qApp->setStyleSheet(style_sheet_);
  } else {
    window.setStyleSheet(style_sheet_);
  }
}

bool IsVisiblePlainFile(const std::string& path) {
  if (path.empty()) return false;
#ifdef _WIN32
  // The path is UTF-8: the wide call on its UTF-16 form, as the file layer
  // makes it, finds a file whose folder name is not in the ANSI code page.
  const std::wstring wide = QString::fromStdString(path).toStdWString();
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  return (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) == 0;
#else
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  const size_t slash = path.find_last_of('/');
  const size_t name = slash == std::string::npos ? 0 : slash + 1;
  return name < path.size() && path[name] != '.';
#endif
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
