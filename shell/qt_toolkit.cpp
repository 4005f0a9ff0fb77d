#include "shell/qt_toolkit.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QInputDialog>
#include <QLocale>
#include <QMessageBox>
#include <QStringList>

#include "base/app_title.h"

namespace quillon {
namespace {

QWidget* Owner() {
  if (QWidget* modal = QApplication::activeModalWidget()) return modal;
  return QApplication::activeWindow();
}

QString Caption(const std::string& title) {
  return QString::fromStdString(title.empty() ? ApplicationTitle() : title);
}

// Message texts carry Windows line ends; a Qt label wants LF alone.
QString DisplayText(const std::string& text) {
  QString s = QString::fromStdString(text);
  s.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  return s;
}

// Paths leave the toolkit in the platform's native form and code page.
std::string NativePath(const QString& path) {
  if (path.isEmpty()) return {};
  return QDir::toNativeSeparators(path).toStdString();
}

std::string RunFileDialog(const FileDialogRequest& request, QFileDialog::AcceptMode mode) {
  QFileDialog dialog(Owner(), QString::fromStdString(request.title));
  dialog.setAcceptMode(mode);
  // The common dialog's "file must exist" flag (OFN_FILEMUSTEXIST) decides
  // whether an open dialog accepts a name that is not there yet.
  constexpr unsigned kFileMustExist = 0x1000;
  const bool must_exist = mode == QFileDialog::AcceptOpen && (request.flags & kFileMustExist) != 0;
  dialog.setFileMode(must_exist ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
  // The program asks its own overwrite question where one is wanted.
  dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
  const QString filters = QtToolkit::NameFilters(request.filter);
  if (!filters.isEmpty()) dialog.setNameFilters(filters.split(QStringLiteral(";;")));
  if (!request.file_name.empty()) dialog.selectFile(QString::fromStdString(request.file_name));
  if (dialog.exec() != QDialog::Accepted) return {};
  const QStringList chosen = dialog.selectedFiles();
  return chosen.isEmpty() ? std::string() : NativePath(chosen.front());
}

}  // namespace

MessageAnswer QtToolkit::DoShowMessage(const std::string& text, MessageButtons buttons, MessageIcon icon,
                                       const std::string& title) {
  QMessageBox box(icon == MessageIcon::kWarning ? QMessageBox::Warning : QMessageBox::NoIcon, Caption(title),
                  DisplayText(text),
                  buttons == MessageButtons::kYesNo ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok,
                  Owner());
  const int pressed = box.exec();
  if (buttons == MessageButtons::kOk) return MessageAnswer::kOk;
  return pressed == QMessageBox::Yes ? MessageAnswer::kYes : MessageAnswer::kNo;
}

std::string QtToolkit::DoPrompt(const std::string& prompt, const std::string& title,
                                const std::string& preset) {
  bool ok = false;
  const QString answer = QInputDialog::getText(Owner(), Caption(title), DisplayText(prompt),
                                               QLineEdit::Normal, QString::fromStdString(preset), &ok);
  return ok ? answer.toStdString() : std::string();
}

std::string QtToolkit::ShowOpenDialog(const FileDialogRequest& request) {
  return RunFileDialog(request, QFileDialog::AcceptOpen);
}

std::string QtToolkit::ShowSaveDialog(const FileDialogRequest& request) {
  return RunFileDialog(request, QFileDialog::AcceptSave);
}

std::string QtToolkit::BrowseForFolder(const std::string& prompt, const std::string& start_folder) {
  const QString chosen =
      QFileDialog::getExistingDirectory(Owner(), QString::fromStdString(prompt),
                                        QString::fromStdString(start_folder), QFileDialog::ShowDirsOnly);
  return NativePath(chosen);
}

std::string QtToolkit::FormatCount(int64_t n) const {
  return QLocale().toString(static_cast<qlonglong>(n)).toStdString();  // the system's locale unless set
}

bool QtToolkit::Yield() {
  if (since_last_pass_.isValid() && !since_last_pass_.hasExpired(kYieldIntervalMs)) return false;
  QCoreApplication::processEvents();
  since_last_pass_.start();
  return true;
}

QString QtToolkit::NameFilters(const std::string& filter) {
  QStringList parts = QString::fromStdString(filter).split(QLatin1Char('|'));
  if (!parts.isEmpty() && parts.back().isEmpty()) parts.removeLast();
  QStringList result;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    QString description = parts[i].trimmed();
    QStringList patterns;
    for (QString pattern : parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
      pattern = pattern.trimmed();
      patterns << (pattern == QStringLiteral("*.*") ? QStringLiteral("*") : pattern);
    }
    // Qt takes the patterns from the last parenthesised group of the entry,
    // which the descriptions of the program already end with.
    const qsizetype open = description.lastIndexOf(QLatin1Char('('));
    if (description.endsWith(QLatin1Char(')')) && open >= 0) description = description.left(open).trimmed();
    result << description + QStringLiteral(" (") + patterns.join(QLatin1Char(' ')) + QLatin1Char(')');
  }
  return result.join(QStringLiteral(";;"));
}

}  // namespace quillon
