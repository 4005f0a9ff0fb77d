#include "sets/set_file.h"

#include <QFile>
#include <QString>
#include <stdexcept>

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
    // An odd last byte is not a whole character and is left out.
    text = QString::fromUtf16(reinterpret_cast<const char16_t*>(bytes.constData()), bytes.size() / 2);
  } else {
    text = QString::fromLocal8Bit(bytes);
  }
  if (text.startsWith(QChar(0xFEFF))) text.remove(0, 1);
  return text.toStdString();
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
    const size_t first = line.find(separator);
    if (line.empty() || first == std::string_view::npos) continue;
    const size_t second_start = first + separator.size();
    const size_t second_end = line.find(separator, second_start);
    ReplaceSet set;
    set.find.assign(line.substr(0, first));
    set.replace.assign(line.substr(second_start, second_end == std::string_view::npos ? std::string_view::npos
                                                                                      : second_end - second_start));
    sets.push_back(std::move(set));
  }
  return sets;
}

}  // namespace quillon
