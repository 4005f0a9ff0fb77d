#include "data/file/write_ahead_file.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <random>

#include "data/file/utf8_path.h"
#include "data/util/byte_order.h"
#include "data/util/error.h"
#include "data/util/hash.h"

namespace fox {

namespace {

constexpr char kMagic[] = "QUILLWA1";
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

std::vector<WriteAheadFile::Image> WriteAheadFile::Read(const std::string& path) {
  const DiskFile file(path, DiskFile::Mode::kReadOnly, "write-ahead file");
  std::string bytes(file.Size(), '\0');
  bytes.resize(file.ReadAt(0, bytes.data(), bytes.size()));
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

WriteAheadFile::WriteAheadFile(const std::string& table_path) {
  for (int attempt = 0;; ++attempt) {
    path_ = Prefix(table_path) + Token();
    if (DiskFile::CreateNewFile(path_, kMagic, "write-ahead file")) break;
    if (attempt == 100)
      throw Error(ErrorKind::kIo, "Cannot make a write-ahead file beside '" + table_path + "'.");
  }
  file_ = std::make_unique<DiskFile>(path_, DiskFile::Mode::kReadWrite, "write-ahead file");
  end_ = kMagicSize;
}

WriteAheadFile::~WriteAheadFile() = default;

void WriteAheadFile::Begin() {
  block_.assign(kBlock, 4);
  block_.append(4, '\0');
  count_ = 0;
}

void WriteAheadFile::Add(uint64_t offset, std::string_view before, std::string_view after) {
  if (before.size() != after.size() || before.size() > 0xFFFFFFFFu) {
    throw Error(ErrorKind::kUsage, "The two images of a range of a write-ahead block must have one length.");
  }
  char head[12];
  StoreLE64(head, offset);
  StoreLE32(head + 8, static_cast<uint32_t>(before.size()));
  block_.append(head, sizeof head);
  block_.append(before);
  block_.append(after);
  ++count_;
}

void WriteAheadFile::Write() {
  StoreLE32(block_.data() + 4, count_);
  char hash[8];
  StoreLE64(hash, Hash64(block_));
  block_.append(hash, 8);
  block_start_ = end_;
  file_->WriteAt(end_, block_.data(), block_.size());
  end_ += block_.size();
  file_->StartSync(block_start_, block_.size());
}

void WriteAheadFile::Sync() { file_->Sync(); }

void WriteAheadFile::TakeBack() {
  end_ = std::min(end_, block_start_);
  file_->Truncate(end_);
}

void WriteAheadFile::Clear() {
  file_->Truncate(kMagicSize);
  end_ = block_start_ = kMagicSize;
}

void WriteAheadFile::Remove() {
  file_.reset();
  DiskFile::RemoveFile(path_, "write-ahead file");
}

}  // namespace fox
