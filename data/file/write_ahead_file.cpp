#include "data/file/write_ahead_file.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <random>

#include "data/file/run_log.h"
#include "data/file/utf8_path.h"
#include "data/util/byte_order.h"
#include "data/util/error.h"
#include "data/util/hash.h"

namespace fox {

namespace {

constexpr char kMagic[] = "QUILLWA1";
constexpr char kLinkMagic[] = "QUILLWA2";
// A link holds a path; no longer one is read.
constexpr uint64_t kMaxLink = 64 << 10;
constexpr size_t kMagicSize = 8;
constexpr char kBlock[] = "BLK1";
constexpr size_t kBlockHead = 8;  // "BLK1", count

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Names are compared without case: on Windows two programs may name one
// table file in different cases.
bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), text.begin(),
                    [](char a, char b) { return LowerAscii(a) == LowerAscii(b); });
}

std::string Token() {
  std::random_device device;
  std::mt19937_64 random((uint64_t{device()} << 32) ^ device() ^
                         static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string token(16, '0');
  uint64_t bits = random();
  for (char& c : token) {
    c = kDigits[bits & 15];
    bits >>= 4;
  }
  return token;
}

}  // namespace

std::vector<std::string> WriteAheadFile::Find(const std::string& table_path) {
  const std::filesystem::path table = PathFromUtf8(table_path);
  const std::string prefix = Utf8FromPath(PathFromUtf8(Prefix(table_path)).filename());
  std::vector<std::string> found;
  std::error_code error;
  std::filesystem::path folder = table.parent_path();
  if (folder.empty()) folder = ".";
  for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    const std::string name = Utf8FromPath(it->path().filename());
    if (StartsWithIgnoringCase(name, prefix)) found.push_back(Utf8FromPath(it->path()));
  }
  if (error) {
    throw Error(ErrorKind::kIo, "Cannot list the folder of '" + table_path + "': " + error.message() + ".");
  }
  std::sort(found.begin(), found.end());
  return found;
}

namespace {

// The images of a file of the block format, up to its first block cut
// short or damaged.
std::vector<WriteAheadFile::Image> ReadBlocks(const std::string& bytes) {
  using Image = WriteAheadFile::Image;
  std::vector<Image> images;
  if (bytes.compare(0, kMagicSize, kMagic) != 0) return images;
  size_t at = kMagicSize;
  while (bytes.size() - at >= kBlockHead && bytes.compare(at, 4, kBlock) == 0) {
    const uint32_t count = LoadLE32(bytes.data() + at + 4);
    // The images' lengths are read before the checksum is: each is checked
    // against what is left of the file.
    size_t p = at + kBlockHead;
    std::vector<Image> block;
    bool whole = true;
    for (uint32_t i = 0; i < count && whole; ++i) {
      if (bytes.size() - p < 12) {
        whole = false;
        break;
      }
      const uint64_t offset = LoadLE64(bytes.data() + p);
      const uint64_t length = LoadLE32(bytes.data() + p + 8);
      if ((bytes.size() - p - 12) / 2 < length) {
        whole = false;
        break;
      }
      block.push_back({offset, bytes.substr(p + 12, length), bytes.substr(p + 12 + length, length)});
      p += 12 + 2 * length;
    }
    if (!whole || bytes.size() - p < 8 ||
        Hash64(std::string_view(bytes.data() + at, p - at)) != LoadLE64(bytes.data() + p)) {
      break;
    }
    images.insert(images.end(), std::make_move_iterator(block.begin()), std::make_move_iterator(block.end()));
    at = p + 8;
  }
  return images;
}

// Whether the two paths name one file (both must exist); compared as
// written when they cannot be looked up.
bool SameFile(const std::string& a, const std::string& b) {
  std::error_code error;
  const bool same = std::filesystem::equivalent(PathFromUtf8(a), PathFromUtf8(b), error);
  return error ? a == b : same;
}

// The images a run log holds for the table file at `table_path`, each told
// whether a commit entry follows it; the other files it names.
void ReadRunLog(const std::string& log_path, const std::string& table_path, WriteAheadFile::Left* left) {
  left->run_log = log_path;
  RunLogReader reader(log_path);
  left->journal = (reader.flags() & RunLog::kKeptAsJournal) != 0;
  std::map<uint32_t, bool> ours;  // file number -> whether it is the table's
  size_t uncommitted = 0;         // images since the last commit entry
  std::string_view entry;
  while (reader.Next(&entry, nullptr)) {
    const auto kind = static_cast<unsigned char>(entry[0]);
    if (kind == RunLog::kFile && entry.size() >= 9) {
      const uint32_t number = LoadLE32(entry.data() + 1);
      const uint32_t size = LoadLE32(entry.data() + 5);
      if (entry.size() - 9 < size) break;
      const std::string path(entry.substr(9, size));
      const bool table = SameFile(path, table_path);
      ours[number] = table;
      if (!table) left->other_tables.push_back(path);
    } else if (kind == RunLog::kImage && entry.size() >= 17) {
      const uint32_t number = LoadLE32(entry.data() + 1);
      const uint64_t offset = LoadLE64(entry.data() + 5);
      const uint32_t length = LoadLE32(entry.data() + 13);
      if ((entry.size() - 17) / 2 < length) break;
      const auto at = ours.find(number);
      if (at == ours.end() || !at->second) continue;
      left->images.push_back({offset, std::string(entry.substr(17, length)),
                              std::string(entry.substr(17 + length, length)), false});
      ++uncommitted;
    } else if (kind == RunLog::kCommit) {
      for (size_t i = left->images.size() - uncommitted; i < left->images.size(); ++i)
        left->images[i].committed = true;
      uncommitted = 0;
    }
  }
}

}  // namespace

WriteAheadFile::Left WriteAheadFile::Read(const std::string& path, const std::string& table_path) {
  const DiskFile file(path, DiskFile::Mode::kReadOnly, "write-ahead file");
  Left left;
  std::string bytes(std::min<uint64_t>(file.Size(), kMaxLink), '\0');
  bytes.resize(file.ReadAt(0, bytes.data(), bytes.size()));
  if (bytes.compare(0, kMagicSize, kLinkMagic) == 0) {
    const std::string log = bytes.substr(kMagicSize);
    std::error_code error;
    // A link whose log is gone holds nothing to put back: the log went
    // only after the run's writes were durable.
    if (std::filesystem::exists(PathFromUtf8(log), error)) ReadRunLog(log, table_path, &left);
    return left;
  }
  if (bytes.compare(0, sizeof RunLog::kMagic, std::string_view(RunLog::kMagic, sizeof RunLog::kMagic)) == 0) {
    ReadRunLog(path, table_path, &left);
    // A log of the table's own names no other table.
    left.other_tables.clear();
    return left;
  }
  bytes.resize(file.Size());
  bytes.resize(file.ReadAt(0, bytes.data(), bytes.size()));
  left.images = ReadBlocks(bytes);
  return left;
}

std::string WriteAheadFile::MakeLink(const std::string& table_path, const std::string& run_log) {
  return MakeOwn(table_path, [&](const std::string& path) {
    return DiskFile::CreateNewFile(path, std::string(kLinkMagic) + run_log, "write-ahead file");
  });
}

std::string WriteAheadFile::MakeOwn(const std::string& table_path,
                                    const std::function<bool(const std::string&)>& make) {
  for (int attempt = 0; attempt <= 100; ++attempt) {
    std::string path = Prefix(table_path) + Token();
    if (make(path)) return path;
  }
  throw Error(ErrorKind::kIo, "Cannot make a write-ahead file beside '" + table_path + "'.");
}

}  // namespace fox
