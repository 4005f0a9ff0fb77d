#include "sets/set_file.h"

#include <QFile>
#include <QSaveFile>
#include <QString>
#include <stdexcept>

#include "shell/file_helpers.h"

namespace quillon {

std::string ReadTextFile(const std::string& path) {
  QFile file(QString::fromLocal8Bit(path));
  if (!file.exists()) return {};
  if (!file.open(QIODevice::ReadOnly)) {
    throw std::runtime_error("Cannot read the file '" + path + "': " + file.errorString().toStdString() + ".");
  }
  const QByteArray bytes = file.readAll();
  file.close();
  if (bytes.isEmpty()) return {};
  const auto first = static_cast<unsigned char>(bytes[0]);
  QString text;
  if (first == 0xFF || first == 0xFE) {
    // UTF-16, little-endian unless the file starts with the big-endian
    // byte-order mark FE FF (read little-endian, that mark would garble every
    // character). An odd last byte is not a whole character and is left out.
    const bool big_endian = bytes.size() >= 2 && first == 0xFE && static_cast<unsigned char>(bytes[1]) == 0xFF;
    std::u16string units(static_cast<size_t>(bytes.size() / 2), u'\0');
    for (size_t i = 0; i < units.size(); ++i) {
      const auto a = static_cast<unsigned char>(bytes[static_cast<qsizetype>(2 * i)]);
      const auto b = static_cast<unsigned char>(bytes[static_cast<qsizetype>(2 * i + 1)]);
      units[i] = static_cast<char16_t>(big_endian ? (a << 8 | b) : (b << 8 | a));
    }
    text = QString::fromUtf16(units.data(), static_cast<qsizetype>(units.size()));
  } else if (bytes.startsWith("\xEF\xBB\xBF")) {
    // Marked as UTF-8: read as such whatever the system's code page is.
    text = QString::fromUtf8(bytes.mid(3));
  } else {
    text = QString::fromLocal8Bit(bytes);
  }
  if (text.startsWith(QChar(0xFEFF))) text.remove(0, 1);
  return text.toStdString();
}

std::optional<ReplaceSet> SplitSetLine(std::string_view line, std::string_view separator) {
  if (separator.empty()) throw std::invalid_argument("The separator of a set must not be empty.");
  const size_t first = line.find(separator);
  if (line.empty() || first == std::string_view::npos) return std::nullopt;
  const size_t second_start = first + separator.size();
  const size_t second_end = line.find(separator, second_start);
  ReplaceSet set;
  set.find.assign(line.substr(0, first));
  set.replace.assign(line.substr(second_start, second_end == std::string_view::npos ? std::string_view::npos
                                                                                    : second_end - second_start));
  return set;
}

std::vector<ReplaceSet> ParseSets(const std::string& text, const std::string& separator) {
  if (separator.empty()) throw std::invalid_argument("The separator of a set file must not be empty.");
  std::string all;
  all.reserve(text.size());
  for (char c : text) {
    if (c != '\r') all += c;
  }
  std::vector<ReplaceSet> sets;
  size_t start = 0;
  while (start <= all.size()) {
    size_t end = all.find('\n', start);
    if (end == std::string::npos) end = all.size();
    const std::string_view line(all.data() + start, end - start);
    start = end + 1;
    if (std::optional<ReplaceSet> set = SplitSetLine(line, separator)) sets.push_back(std::move(*set));
  }
  return sets;
}

std::string SetFileText(const std::vector<ReplaceSet>& sets) {
  std::string text;
  for (const ReplaceSet& set : sets) text += set.find + kDefaultSetSeparator + set.replace + "\r\n";
  return text;
}

void SaveSetFile(Toolkit& toolkit, const std::string& path, const std::vector<ReplaceSet>& sets) {
  if (FileExists(path)) {
    const MessageAnswer answer =
        toolkit.ShowMessage(kOverwriteQuestion + QString::fromLocal8Bit(path).toStdString() + " ?",
                            MessageButtons::kYesNo, MessageIcon::kNone);
    if (answer != MessageAnswer::kYes) return;
  }
  const QByteArray bytes = QString::fromStdString(SetFileText(sets)).toLocal8Bit();
  QSaveFile file(QString::fromLocal8Bit(path));
  const auto failed = [&](const QString& why) {
    return std::runtime_error("Cannot write the set file '" + path + "': " + why.toStdString() + ".");
  };
  if (!file.open(QIODevice::WriteOnly)) throw failed(file.errorString());
  if (file.write(bytes) != bytes.size()) {
    const QString why = file.errorString();
    file.cancelWriting();
    throw failed(why);
  }
  if (!file.commit()) throw failed(file.errorString());
}

}  // namespace quillon
