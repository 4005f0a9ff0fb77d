// The run log: one write-ahead log for every file a run changes in place,
// which is also the run's undo journal.
//
// A run's tables write their batches of saved records through one RunLog.
// Before a batch's records are written in place, the changed part of each
// record (from its first changed byte to its last), as it is on disk and as
// it is to be written, goes to the log with whatever the caller logs about
// the batch (the undo journal's entries), and the log is made durable: one
// flush for the batch. The records are then written in place and forced to
// disk only when their table is closed. After a crash, the next program that
// opens one of the run's tables redoes from the log what the run committed
// and undoes what it did not (RunRecovery), in every table of the run.
//
// Commits. With no unit open, every Commit ends in a commit entry: what was
// logged before it is one whole. BeginUnit/EndUnit make one unit of
// everything logged between them, in any table (a parent's new key and the
// child records that take it): Commit then only makes the entries durable
// (the records may be written in place, the log holding their old bytes
// too), and EndUnit writes the unit's commit entry. After a crash the records
// of a unit without its commit entry are given back their old bytes, those of
// a committed unit their new ones: all of it or none.
//
// File format (integers little-endian); the header and the entries are
// those of the undo journal, of which this is version 3:
//
//   header, 32 bytes:
//     0  8  magic "QLNUNDO\x1a"
//     8  4  version (3)
//    12  4  header size (32)
//    16  8  when the run started, seconds since 1970 (UTC)
//    24  4  flags: bit 0 set when the log is kept as the run's undo
//           journal; without it the log only serves crash recovery and
//           is removed when the run ends
//    28  4  CRC-32 of bytes 0 to 27
//   entries, one after the other to the end of the file:
//     0  4  payload size n
//     4  4  CRC-32 of the payload
//     8  n  payload: one byte saying what the entry is, then its fields:
//       1..15  the caller's entries (the undo journal's), kept as given
//       16 file:   file number (4), path (4-byte size and the bytes, UTF-8)
//       17 image:  file number (4), offset (8), length n (4), the n bytes on
//                  disk before the write, the n bytes written
//       18 commit: the entries before it, back to the previous commit, are
//                  one whole
// A log cut short by a crash is read up to its last whole entry: an entry
// whose size runs past the end of the file or whose checksum does not match
// ends the reading (RunLogReader).
//
// Threads: every member may be called from any thread; the tables' writer
// threads commit their batches concurrently, and a flush made for one
// commit serves every entry logged before it (group commit).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "data/file/disk_file.h"

namespace fox {

class RunLog {
 public:
  static constexpr char kMagic[8] = {'Q', 'L', 'N', 'U', 'N', 'D', 'O', '\x1a'};
  static constexpr uint32_t kVersion = 3;
  static constexpr size_t kHeaderSize = 32;
  static constexpr uint32_t kKeptAsJournal = 1;  // header flag
  // The caller's entries have kinds below this one.
  static constexpr unsigned char kFirstOwnKind = 16;
  enum Kind : unsigned char { kFile = 16, kImage = 17, kCommit = 18 };
  // No entry is larger.
  static constexpr uint32_t kLargestPayload = 64u << 20;

  // A log not made yet: every call but Create throws Error(kUsage) until it
  // is (the run makes it at its first change, the tables it opens before
  // are given it then).
  RunLog();
  // Closes; entries gathered and not committed are dropped.
  ~RunLog();
  RunLog(const RunLog&) = delete;
  RunLog& operator=(const RunLog&) = delete;

  // Makes the log at `path` (which must not exist), its header durable, its
  // folder entry too. Throws Error(kIo, kFull) naming the file.
  void Create(const std::string& path, std::time_t started, uint32_t flags);
  bool is_open() const;
  const std::string& path() const { return path_; }
  uint32_t flags() const { return flags_; }

  // The number of the file at `path` (as the tables name it), logged
  // the first time it is asked for.
  uint32_t FileNumber(const std::string& path);
  // Gathers an entry of the caller's: `payload` begins with its kind, below
  // kFirstOwnKind.
  void Append(std::string_view payload);
  // Gathers an image: the bytes at `offset` of file `file` are `before` on
  // disk and will be `after` (of one length).
  void AddImage(uint32_t file, uint64_t offset, std::string_view before, std::string_view after);

  // Writes every entry gathered, with a commit entry when no unit is open,
  // and makes them durable; returns the log's size then. Throws Error(kIo,
  // kFull); what was gathered is then dropped, and the log no longer
  // commits anything (every later Commit throws the same): nothing more may
  // be written in place.
  uint64_t Commit();
  // Opens a unit: until its EndUnit, Commit writes no commit entry. Units
  // nest; the outermost one counts.
  void BeginUnit();
  // Closes a unit; the outermost writes the commit entry, durably. Throws
  // like Commit.
  void EndUnit();
  bool in_unit() const;

  // Called, from the thread that committed, with the log's size after each
  // commit entry once it is durable: everything logged before it is
  // committed. Set before the first entry is gathered.
  using CommitListener = std::function<void(uint64_t committed)>;
  void set_commit_listener(CommitListener listener) { listener_ = std::move(listener); }
  // Called by a table that wrote through the log when it is closed, its
  // files durable, right before it lets go of its link to the log (after
  // which no recovery puts its records back): what must be durable with
  // the records (the change log's lines) is made so. Set before the first
  // table is opened; must not throw.
  void set_leave_listener(std::function<void()> listener) { leave_listener_ = std::move(listener); }
  void TableLeaving() const {
    if (leave_listener_) leave_listener_();
  }

  // The log's size after the last commit entry made durable (0 before the
  // first): everything logged before it is committed.
  uint64_t committed() const;

  // Removes the file, durably (a log not kept as a journal, once every
  // table of the run is durable). Throws Error(kIo), the file left.
  void Remove();

 private:
  // With mutex_ held.
  void CheckUsable() const;
  void Frame(std::string_view payload);
  // Writes and flushes the file up to `target` (end_ when gathered) unless
  // another thread did; lets go of mutex_ while the disk works. Throws.
  void WriteThrough(std::unique_lock<std::mutex>& hold, uint64_t target);

  std::string path_;
  uint32_t flags_ = 0;
  std::unique_ptr<DiskFile> file_;
  mutable std::mutex mutex_;
  std::condition_variable written_;
  std::string gathered_;  // entries not yet handed to the file
  uint64_t end_ = 0;      // where the next gathered entry lands
  uint64_t on_file_ = 0;  // how much of the file is written
  uint64_t durable_ = 0;  // how much of it is durable
  bool writing_ = false;  // a thread writes or flushes the file
  int units_ = 0;
  uint64_t last_commit_ = 0;  // the end of the last commit entry gathered
  uint64_t committed_ = 0;    // the end of the last commit entry durable
  std::string failure_;       // why writing failed; nothing commits after it
  std::unordered_map<std::string, uint32_t> files_;
  std::string scratch_;
  CommitListener listener_;
  std::function<void()> leave_listener_;
};

// A run log read back, entry by entry, for the undo journal's reader and for
// recovery.
class RunLogReader {
 public:
  // Throws Error(kNotFound, kIo) naming the file, or kCorrupt when the file
  // is no run log (another journal version is told by version()).
  explicit RunLogReader(const std::string& path);
  ~RunLogReader();

  std::time_t started() const { return started_; }
  uint32_t flags() const { return flags_; }

  // The next whole entry's payload (a view valid until the next call) and
  // where it lies; false at the end, or where the log is cut short or
  // damaged (torn() then tells).
  bool Next(std::string_view* payload, uint64_t* offset);
  bool torn() const { return torn_; }

 private:
  const char* Fetch(uint64_t at, size_t n);
  std::unique_ptr<DiskFile> file_;
  uint64_t size_ = 0;
  uint64_t at_ = 0;
  std::string buffer_;
  uint64_t buffer_at_ = 0;
  std::time_t started_ = 0;
  uint32_t flags_ = 0;
  bool torn_ = false;
};

}  // namespace fox
