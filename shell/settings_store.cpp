#include "base/settings_store.h"

#include <QSettings>
#include <QString>
#include <memory>
#include <stdexcept>

#include "base/error.h"

namespace quillon {
namespace {

std::string& FolderOverride() {
  static std::string folder;
  return folder;
}

// The user's store where the system keeps settings: the registry on
// Windows, a file elsewhere.
#ifdef _WIN32
// With no application name Qt would use Software\Velmora\OrganizationDefaults;
// the section is a key of its own under the organisation instead.
std::unique_ptr<QSettings> SystemStore() {
  return std::make_unique<QSettings>(QString("HKEY_CURRENT_USER\\Software\\") + kSettingsOrganisation,
                                     QSettings::NativeFormat);
}
#else
// Organisation only: the store is the file Velmora.conf itself.
std::unique_ptr<QSettings> SystemStore() {
  return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope, kSettingsOrganisation,
                                     QString());
}
#endif

// A fresh view of the store, opened on the section. Opening re-reads the file
// when another process has changed it since this process last looked.
std::unique_ptr<QSettings> OpenStore() {
  std::unique_ptr<QSettings> store;
  if (!FolderOverride().empty()) {
    const QString folder = QString::fromStdString(FolderOverride());
    store = std::make_unique<QSettings>(folder + "/" + kSettingsOrganisation + ".conf", QSettings::IniFormat);
  } else {
    store = SystemStore();
  }
  store->beginGroup(kSettingsSection);
  return store;
}

std::string StoreName(const QSettings& store) { return store.fileName().toStdString(); }

}  // namespace

void SetSettingsFolder(const std::string& folder) { FolderOverride() = folder; }

std::string GetSetting(const std::string& key, const std::string& default_value) {
  const auto store = OpenStore();
  const QVariant value = store->value(QString::fromStdString(key));
  if (store->status() == QSettings::FormatError) {
    throw Error(ErrorKind::kIo, "The settings store " + StoreName(*store) + " cannot be read.");
  }
  if (!value.isValid()) return default_value;
  return value.toString().toStdString();
}

void SaveSetting(const std::string& key, const std::string& value) {
  const auto store = OpenStore();
  store->setValue(QString::fromStdString(key), QString::fromStdString(value));
  store->sync();
  if (store->status() != QSettings::NoError) {
    throw Error(ErrorKind::kIo, "The setting " + key + " cannot be written to " + StoreName(*store) + ".");
  }
}

}  // namespace quillon
