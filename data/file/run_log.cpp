#include "data/file/run_log.h"

#include <cstring>

#include "data/util/byte_order.h"
#include "data/util/crc32.h"
#include "data/util/error.h"

namespace fox {

namespace {

constexpr size_t kEntryHead = 8;

void Put32(std::string* out, uint32_t v) {
  char bytes[4];
  StoreLE32(bytes, v);
  out->append(bytes, 4);
}

void Put64(std::string* out, uint64_t v) {
  char bytes[8];
  StoreLE64(bytes, v);
  out->append(bytes, 8);
}

std::string Header(std::time_t started, uint32_t flags) {
  std::string header(RunLog::kMagic, sizeof RunLog::kMagic);
  Put32(&header, RunLog::kVersion);
  Put32(&header, RunLog::kHeaderSize);
  Put64(&header, static_cast<uint64_t>(started));
  Put32(&header, flags);
  Put32(&header, Crc32(header.data(), header.size()));
  return header;
}

}  // namespace

RunLog::RunLog() = default;

RunLog::~RunLog() = default;

void RunLog::Create(const std::string& path, std::time_t started, uint32_t flags) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (file_) throw Error(ErrorKind::kUsage, "the run log '" + path_ + "' is made already");
  if (!DiskFile::CreateNewFile(path, Header(started, flags), "run log")) {
    throw Error(ErrorKind::kIo, "The run log '" + path + "' could not be made: a file of that name exists.");
  }
  file_ = std::make_unique<DiskFile>(path, DiskFile::Mode::kReadWrite, "run log");
  path_ = path;
  flags_ = flags;
  end_ = on_file_ = durable_ = last_commit_ = kHeaderSize;
}

bool RunLog::is_open() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return file_ != nullptr;
}

void RunLog::CheckUsable() const {
  if (!file_) throw Error(ErrorKind::kUsage, "the run log is used before it is made");
  if (!failure_.empty()) throw Error(ErrorKind::kIo, failure_);
}

void RunLog::Frame(std::string_view payload) {
  if (payload.size() > kLargestPayload) {
    throw Error(ErrorKind::kInvalidValue, "an entry of " + std::to_string(payload.size()) +
                                              " bytes is larger than the run log '" + path_ + "' takes");
  }
  Put32(&gathered_, static_cast<uint32_t>(payload.size()));
  Put32(&gathered_, Crc32(payload.data(), payload.size()));
  gathered_.append(payload);
  end_ += kEntryHead + payload.size();
}

uint32_t RunLog::FileNumber(const std::string& path) {
  std::lock_guard<std::mutex> hold(mutex_);
  CheckUsable();
  const auto [at, added] = files_.emplace(path, static_cast<uint32_t>(files_.size()));
  if (added) {
    scratch_.assign(1, static_cast<char>(kFile));
    Put32(&scratch_, at->second);
    Put32(&scratch_, static_cast<uint32_t>(path.size()));
    scratch_ += path;
    Frame(scratch_);
  }
  return at->second;
}

void RunLog::Append(std::string_view payload) {
  if (payload.empty() || static_cast<unsigned char>(payload[0]) >= kFirstOwnKind) {
    throw Error(ErrorKind::kUsage, "a caller's entry of the run log must begin with a kind below 16");
  }
  std::lock_guard<std::mutex> hold(mutex_);
  CheckUsable();
  Frame(payload);
}

void RunLog::AddImage(uint32_t file, uint64_t offset, std::string_view before, std::string_view after) {
  if (before.size() != after.size())
    throw Error(ErrorKind::kUsage, "the two images of a write differ in length");
  std::lock_guard<std::mutex> hold(mutex_);
  CheckUsable();
  scratch_.assign(1, static_cast<char>(kImage));
  Put32(&scratch_, file);
  Put64(&scratch_, offset);
  Put32(&scratch_, static_cast<uint32_t>(before.size()));
  scratch_.append(before);
  scratch_.append(after);
  Frame(scratch_);
}

void RunLog::WriteThrough(std::unique_lock<std::mutex>& hold, uint64_t target) {
  for (;;) {
    written_.wait(hold, [&] { return !writing_; });
    CheckUsable();
    if (durable_ >= target) return;
    // This thread writes everything gathered so far, for every thread that
    // waits for a part of it.
    std::string writing;
    writing.swap(gathered_);
    const uint64_t at = on_file_;
    const uint64_t to = at + writing.size();
    writing_ = true;
    hold.unlock();
    std::string failure;
    try {
      if (!writing.empty()) file_->WriteAt(at, writing.data(), writing.size());
      file_->Sync();
    } catch (const Error& e) {
      failure = e.what();
    }
    hold.lock();
    writing_ = false;
    if (failure.empty()) {
      on_file_ = durable_ = to;
    } else {
      // What follows the entries durable so far is no longer trusted: the
      // log commits nothing more, and a reader stops at the first torn entry.
      failure_ = "The run log '" + path_ + "' could not be written: " + failure;
      gathered_.clear();
    }
    written_.notify_all();
  }
}

uint64_t RunLog::Commit() {
  CommitListener tell;
  uint64_t committed = 0;
  uint64_t durable = 0;
  {
    std::unique_lock<std::mutex> hold(mutex_);
    CheckUsable();
    if (units_ == 0 && end_ > last_commit_) {
      Frame(std::string_view("\x12", 1));
      last_commit_ = end_;
    }
    WriteThrough(hold, end_);
    durable = durable_;
    if (last_commit_ > committed_ && last_commit_ <= durable_) {
      committed_ = last_commit_;
      committed = committed_;
      tell = listener_;
    }
  }
  if (tell) tell(committed);
  return durable;
}

void RunLog::BeginUnit() {
  std::lock_guard<std::mutex> hold(mutex_);
  CheckUsable();
  ++units_;
}

void RunLog::EndUnit() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (units_ == 0) throw Error(ErrorKind::kUsage, "a unit of the run log is closed that was not opened");
    if (--units_ > 0) return;
  }
  Commit();
}

bool RunLog::in_unit() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return units_ > 0;
}

uint64_t RunLog::committed() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return committed_;
}

void RunLog::Remove() {
  std::lock_guard<std::mutex> hold(mutex_);
  if (!file_) return;
  file_.reset();
  DiskFile::RemoveFile(path_, "run log");
}

RunLogReader::RunLogReader(const std::string& path) {
  file_ = std::make_unique<DiskFile>(path, DiskFile::Mode::kReadOnly, "run log");
  size_ = file_->Size();
  char header[RunLog::kHeaderSize];
  if (size_ < RunLog::kHeaderSize || file_->ReadAt(0, header, sizeof header) != sizeof header ||
      std::memcmp(header, RunLog::kMagic, sizeof RunLog::kMagic) != 0 ||
      LoadLE32(header + 8) != RunLog::kVersion || LoadLE32(header + 28) != Crc32(header, 28)) {
    throw Error(ErrorKind::kCorrupt, "'" + path + "' is not a run log");
  }
  started_ = static_cast<std::time_t>(LoadLE64(header + 16));
  flags_ = LoadLE32(header + 24);
  at_ = LoadLE32(header + 12);
  if (at_ < RunLog::kHeaderSize || at_ > size_)
    throw Error(ErrorKind::kCorrupt, "'" + path + "' is not a run log");
}

RunLogReader::~RunLogReader() = default;

const char* RunLogReader::Fetch(uint64_t at, size_t n) {
  if (at + n > size_) return nullptr;
  if (at < buffer_at_ || at + n > buffer_at_ + buffer_.size()) {
    const size_t want = std::max<size_t>(n, size_t{1} << 20);
    buffer_.resize(static_cast<size_t>(std::min<uint64_t>(want, size_ - at)));
    buffer_at_ = at;
    file_->ReadExactAt(at, buffer_.data(), buffer_.size(), "the run log");
  }
  return buffer_.data() + (at - buffer_at_);
}

bool RunLogReader::Next(std::string_view* payload, uint64_t* offset) {
  if (torn_ || at_ >= size_) return false;
  const char* head = Fetch(at_, kEntryHead);
  if (head == nullptr) {
    torn_ = true;
    return false;
  }
  const uint32_t n = LoadLE32(head);
  const uint32_t crc = LoadLE32(head + 4);
  const char* body = n <= RunLog::kLargestPayload ? Fetch(at_ + kEntryHead, n) : nullptr;
  if (body == nullptr || n == 0 || Crc32(body, n) != crc) {
    torn_ = true;
    return false;
  }
  *payload = std::string_view(body, n);
  if (offset) *offset = at_;
  at_ += kEntryHead + n;
  return true;
}

}  // namespace fox
