// bench_make_table: writes a Visual FoxPro free table with a memo file for the
// replacement benchmark.
//
//   bench_make_table [--records N] [--seed S] OUTPUT.dbf
//
// Writes OUTPUT.dbf and OUTPUT.fpt (same base name). The table has the fields
//   CODE C(10), NAME C(30), ADDRESS C(40), AMOUNT N(10,2), SINCE D, NOTES M
// (record length 103) in code page 1252 (mark 0x03). About half of the records
// carry a memo of 10 to 100 bytes in 64-byte blocks, so one million records make
// about 150 MB. The content is pseudo-random but depends only on the seed and the
// record number.
//
// Exactly one record in a hundred (record numbers 50, 150, 250, ...) holds the
// marker word "Zanzibar" in ADDRESS; no other field of any record holds it. No
// field holds the text "Quetzalcoatl" (the generated text never contains a capital
// Q). The generator checks both rules for every record it writes.
//
// Plain C++ with no dependencies, so it runs before anything else is built.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "data/util/local_time.h"

namespace {

constexpr std::string_view kMarker = "Zanzibar";
constexpr std::string_view kNoMatch = "Quetzalcoatl";
constexpr std::uint32_t kMarkerEvery = 100;
constexpr std::uint32_t kMarkerOffset = 50;  // 1-based record numbers 50, 150, ...
constexpr std::uint32_t kBlockSize = 64;
constexpr std::uint32_t kFirstBlock = 512 / kBlockSize;

struct Field {
  const char* name;
  char type;
  std::uint8_t length;
  std::uint8_t decimals;
};

constexpr Field kFields[] = {
    {"CODE", 'C', 10, 0},   {"NAME", 'C', 30, 0}, {"ADDRESS", 'C', 40, 0},
    {"AMOUNT", 'N', 10, 2}, {"SINCE", 'D', 8, 0}, {"NOTES", 'M', 4, 0},
};
constexpr std::size_t kFieldCount = sizeof kFields / sizeof kFields[0];

// Words in code page 1252; "\xFC" is u-umlaut, "\xE9" e-acute, "\xF8" o-slash,
// "\xE7" c-cedilla, "\xE4" a-umlaut.
constexpr const char* kFirstNames[] = {
    "Anna", "Bernd",    "Carla",  "Dieter", "Elena", "Fran\xE7ois", "Greta",  "Hans",
    "Ines", "Jos\xE9",  "Karin",  "Lars",   "Marta", "Nils",        "Olga",   "Peter",
    "Rosa", "S\xF8ren", "Tanja",  "Uwe",    "Vera",  "Walter",      "Xenia",  "Yusuf",
    "Zoe",  "Albert",   "Birgit", "Conrad", "Doris", "Emil",        "Frieda", "Gustav"};
constexpr const char* kLastNames[] = {"M\xFCller",
                                      "Schmidt",
                                      "Schneider",
                                      "Fischer",
                                      "Weber",
                                      "Meyer",
                                      "Wagner",
                                      "Becker",
                                      "Schulz",
                                      "Hoffmann",
                                      "Koch",
                                      "Richter",
                                      "Klein",
                                      "Wolf",
                                      "Neumann",
                                      "Schwarz",
                                      "Braun",
                                      "Hofmann",
                                      "Lange",
                                      "Werner",
                                      "Krause",
                                      "Lehmann",
                                      "Martin",
                                      "Garc\xED"
                                      "a",
                                      "Dupont",
                                      "Rossi",
                                      "Nielsen",
                                      "J\xE4rvi",
                                      "Kowalski",
                                      "Novak",
                                      "Silva",
                                      "Evans"};
constexpr const char* kStreets[] = {"Linden", "Birch",   "Harbour", "Mill",   "Station", "Church",
                                    "Market", "Garden",  "Castle",  "River",  "Forest",  "Bridge",
                                    "Meadow", "Orchard", "Park",    "Hill",   "Rose",    "Kings",
                                    "Ocean",  "Valley",  "Sunset",  "Willow", "Cedar",   "Maple"};
constexpr const char* kStreetKinds[] = {"Road", "Street", "Lane", "Avenue", "Way", "Close", "Row", "Square"};
constexpr const char* kCities[] = {"Hamburg", "Lyon",   "Turin",   "Porto",    "Bergen",    "Aarhus",
                                   "Graz",    "Bruges", "Leeds",   "Malm\xF6", "Krak\xF3w", "Brno",
                                   "Ghent",   "Basel",  "Utrecht", "Seville"};
constexpr const char* kMemoWords[] = {
    "customer", "asked",   "for",      "a",       "new",       "invoice", "delivery", "was",
    "late",     "paid",    "in",       "full",    "call",      "back",    "next",     "week",
    "order",    "shipped", "to",       "the",     "warehouse", "contact", "prefers",  "email",
    "discount", "agreed",  "on",       "pallets", "returned",  "two",     "boxes",    "damaged",
    "account",  "closed",  "reopened", "after",   "review",    "credit",  "limit",    "raised",
    "Monday",   "Friday",  "office",   "moved",   "see",       "notes",   "from",     "sales"};

template <typename T, std::size_t N>
constexpr std::size_t countOf(const T (&)[N]) {
  return N;
}

// splitmix64 keyed by seed and record number: every record's content is
// independent of how many records come before it.
struct Random {
  std::uint64_t state;
  explicit Random(std::uint64_t seed, std::uint64_t record) : state(seed * 0x9E3779B97F4A7C15ull ^ record) {
    next();
  }
  std::uint64_t next() {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  std::uint32_t below(std::uint32_t n) { return static_cast<std::uint32_t>(next() % n); }
  template <typename T, std::size_t N>
  const char* pick(const T (&list)[N]) {
    return list[below(static_cast<std::uint32_t>(N))];
  }
};

void putLe16(unsigned char* p, std::uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}
void putLe32(unsigned char* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
void putBe32(unsigned char* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * (3 - i)));
}
void putBe16(unsigned char* p, std::uint32_t v) {
  p[0] = static_cast<unsigned char>(v >> 8);
  p[1] = static_cast<unsigned char>(v);
}

[[noreturn]] void fail(const std::string& message) {
  std::fprintf(stderr, "bench_make_table: %s\n", message.c_str());
  std::exit(1);
}

// Copies text into a space-padded field; the text must fit.
void putText(unsigned char* field, std::size_t length, const std::string& text) {
  if (text.size() > length) fail("generated text longer than its field: " + text);
  std::memset(field, ' ', length);
  std::memcpy(field, text.data(), text.size());
}

bool contains(std::string_view text, std::string_view word) {
  return text.find(word) != std::string_view::npos;
}

struct Writer {
  std::FILE* file = nullptr;
  std::string path;
  std::vector<unsigned char> buffer;
  std::uint64_t written = 0;

  Writer(const std::string& p) : path(p) {
    file = std::fopen(p.c_str(), "wb");
    if (!file) fail("cannot create " + p);
    buffer.reserve(1 << 22);
  }
  void append(const unsigned char* data, std::size_t size) {
    buffer.insert(buffer.end(), data, data + size);
    if (buffer.size() >= (1u << 22)) flush();
  }
  void flush() {
    if (!buffer.empty() && std::fwrite(buffer.data(), 1, buffer.size(), file) != buffer.size())
      fail("cannot write " + path);
    written += buffer.size();
    buffer.clear();
  }
  void close() {
    flush();
    if (std::fclose(file) != 0) fail("cannot close " + path);
    file = nullptr;
  }
};

std::string memoPathFor(const std::string& tablePath) {
  std::string base = tablePath;
  std::string ext = ".fpt";
  if (base.size() >= 4) {
    std::string tail = base.substr(base.size() - 4);
    if (tail == ".dbf" || tail == ".DBF") {
      if (tail == ".DBF") ext = ".FPT";
      base.resize(base.size() - 4);
    }
  }
  return base + ext;
}

void usage() {
  std::fprintf(stderr,
               "usage: bench_make_table [--bulk] [--records N] [--seed S] OUTPUT.dbf\n"
               "Writes a Visual FoxPro free table OUTPUT.dbf with its memo file OUTPUT.fpt.\n"
               "--bulk writes the bulk-run shape instead (see the top of make_table.cpp).\n"
               "N defaults to 1000000. One record in 100 holds \"%.*s\" in ADDRESS;\n"
               "no field holds \"%.*s\".\n",
               static_cast<int>(kMarker.size()), kMarker.data(), static_cast<int>(kNoMatch.size()),
               kNoMatch.data());
}

// A table file and its memo file being written: the header from the field
// list, then records and memo values in order, then the end-of-file byte and
// the memo file's next free block.
struct TableFiles {
  std::vector<std::uint32_t> offsets;  // of each field in a record
  std::uint32_t recordLength = 1;
  std::string memoPath;
  Writer table;
  Writer memo;
  std::vector<unsigned char> memoHeader = std::vector<unsigned char>(512, 0);
  std::uint32_t nextBlock = kFirstBlock;
  std::vector<unsigned char> block;

  TableFiles(const std::string& output, const Field* fields, std::size_t count, std::uint64_t records)
      : memoPath(memoPathFor(output)), table(output), memo(memoPath) {
    for (std::size_t i = 0; i < count; ++i) {
      offsets.push_back(recordLength);
      recordLength += fields[i].length;
    }
    const std::uint32_t headerLength = 32 + 32 * static_cast<std::uint32_t>(count) + 1 + 263;
    std::vector<unsigned char> header(headerLength, 0);
    const std::tm local = fox::LocalTime(std::time(nullptr));
    header[0] = 0x30;  // Visual FoxPro
    header[1] = static_cast<unsigned char>((local.tm_year + 1900) % 100);
    header[2] = static_cast<unsigned char>(local.tm_mon + 1);
    header[3] = static_cast<unsigned char>(local.tm_mday);
    putLe32(&header[4], static_cast<std::uint32_t>(records));
    putLe16(&header[8], headerLength);
    putLe16(&header[10], recordLength);
    header[28] = 0x02;  // has a memo file
    header[29] = 0x03;  // code page 1252
    for (std::size_t i = 0; i < count; ++i) {
      unsigned char* d = &header[32 + 32 * i];
      std::memcpy(d, fields[i].name, std::strlen(fields[i].name));
      d[11] = static_cast<unsigned char>(fields[i].type);
      putLe32(d + 12, offsets[i]);
      d[16] = fields[i].length;
      d[17] = fields[i].decimals;
    }
    header[32 + 32 * count] = 0x0D;  // terminator; the 263-byte backlink stays zero
    table.append(header.data(), header.size());
    putBe16(&memoHeader[6], kBlockSize);  // the next free block is written at the end
    memo.append(memoHeader.data(), memoHeader.size());
  }

  // Appends a text memo; returns its first block.
  std::uint32_t addMemo(const std::string& notes) {
    const std::uint32_t first = nextBlock;
    const std::uint32_t blocks = static_cast<std::uint32_t>((8 + notes.size() + kBlockSize - 1) / kBlockSize);
    block.assign(blocks * kBlockSize, 0);
    putBe32(&block[0], 1);  // text
    putBe32(&block[4], static_cast<std::uint32_t>(notes.size()));
    std::memcpy(&block[8], notes.data(), notes.size());
    memo.append(block.data(), block.size());
    nextBlock += blocks;
    return first;
  }

  void close() {
    const unsigned char eof = 0x1A;
    table.append(&eof, 1);
    table.close();
    memo.flush();
    putBe32(&memoHeader[0], nextBlock);
    if (std::fseek(memo.file, 0, SEEK_SET) != 0 || std::fwrite(memoHeader.data(), 1, 4, memo.file) != 4)
      fail("cannot write the memo header of " + memoPath);
    memo.close();
    std::printf("table     %s (%llu bytes)\n", table.path.c_str(),
                static_cast<unsigned long long>(table.written));
    std::printf("memo      %s (%llu bytes)\n", memoPath.c_str(),
                static_cast<unsigned long long>(memo.written));
  }
};

// ---------------------------------------------------------------- bulk shape
//
// --bulk writes the table of the bulk-run benchmark: every record has a memo,
// and the structural index that bench_add_index --bulk gives it has eight tags
// over most of its fields. Fields:
//   ID I, NAME C(30), CITY C(20), CODE C(8), FLAG L, AMT N(12,2), BORN D, NOTES M
// (record length 88, memo values of 60 to 400 bytes in 64-byte blocks). Every
// memo holds "Ledger" once; one record in 33 has the first name "Zanzibar";
// no field holds "Quetzalcoatl". The benchmark's set list is kBulkPairs: the
// generator applies it to every field's text form, as a run would, and prints
// how many fields a run changes and how many new dates do not exist (a run
// refuses those).

constexpr const char* kBulkPairs[][2] = {
    {"Ledger", "Journal"}, {"Zanzibar", "Zanzibaz"}, {"77", "78"}, {".25", ".75"}, {"-04-1", "-04-3"}};

bool validDate(const std::string& text) {
  int y = 0, m = 0, d = 0;
  char tail = 0;
  if (text.size() != 10 || std::sscanf(text.c_str(), "%4d-%2d-%2d%c", &y, &m, &d, &tail) != 3) return false;
  static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (m < 1 || m > 12 || d < 1 || d > kDays[m - 1]) return false;
  return !(m == 2 && d == 29 && (y % 4 != 0 || (y % 100 == 0 && y % 400 != 0)));
}

std::string trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// Applies the benchmark's pairs to one text form the way a run does: every
// occurrence of each pair in turn, the result trimmed after each pair that
// was found. Returns how many pairs were found (a change log line each).
// Applies the pairs in order as the run does, each to the value the pairs
// before it left: a new text the field refuses (`accepts` false) leaves the
// value as it was. Returns the pairs assigned; `refusals` counts the others
// that found their text.
template <typename Accepts>
int applyPairs(std::string* text, Accepts accepts, int* refusals) {
  int assigned = 0;
  for (const auto& pair : kBulkPairs) {
    const std::string find = pair[0], replace = pair[1];
    if (text->find(find) == std::string::npos) continue;
    std::string out;
    std::size_t at = 0;
    for (std::size_t hit; (hit = text->find(find, at)) != std::string::npos; at = hit + find.size()) {
      out.append(*text, at, hit - at);
      out += replace;
    }
    out.append(*text, at, std::string::npos);
    out = trimmed(out);
    if (!accepts(out)) {
      ++*refusals;
      continue;
    }
    *text = out;
    ++assigned;
  }
  return assigned;
}

int makeBulk(std::uint64_t records, std::uint64_t seed, const std::string& output) {
  static const Field kBulkFields[] = {{"ID", 'I', 4, 0},   {"NAME", 'C', 30, 0}, {"CITY", 'C', 20, 0},
                                      {"CODE", 'C', 8, 0}, {"FLAG", 'L', 1, 0},  {"AMT", 'N', 12, 2},
                                      {"BORN", 'D', 8, 0}, {"NOTES", 'M', 4, 0}};
  TableFiles files(output, kBulkFields, sizeof kBulkFields / sizeof kBulkFields[0], records);
  const std::vector<std::uint32_t>& offsets = files.offsets;
  std::vector<unsigned char> record(files.recordLength);
  std::uint64_t changed = 0, refused = 0, dates = 0, indexed = 0, lines = 0;
  for (std::uint64_t r = 1; r <= records; ++r) {
    Random rnd(seed, r);
    std::string name =
        std::string(r % 33 == 7 ? "Zanzibar" : rnd.pick(kFirstNames)) + " " + rnd.pick(kLastNames);
    const std::string city = rnd.pick(kCities);
    char code[16];
    std::snprintf(code, sizeof code, "%c%c%06u", 'A' + rnd.below(8), 'A' + rnd.below(8), rnd.below(1000000));
    const bool flag = rnd.below(2) == 0;
    char amount[32];
    std::snprintf(amount, sizeof amount, "%12.2f", rnd.below(1000000000) / 100.0);
    static const std::uint32_t kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const std::uint32_t year = 1950 + rnd.below(60), month = 1 + rnd.below(12);
    const std::uint32_t day = 1 + rnd.below(kDays[month - 1]);
    char date[40], dateText[40];
    std::snprintf(date, sizeof date, "%04u%02u%02u", year, month, day);
    std::snprintf(dateText, sizeof dateText, "%04u-%02u-%02u", year, month, day);
    std::string notes;
    const std::uint32_t length = 60 + rnd.below(341), ledgerAt = rnd.below(6);
    for (std::uint32_t w = 0; notes.size() < length; ++w) {
      if (!notes.empty()) notes += ' ';
      notes += w == ledgerAt ? "Ledger" : rnd.pick(kMemoWords);
    }

    // What the run will do to each field's text form.
    const std::string forms[] = {std::to_string(r), name, city, code, trimmed(amount), dateText, notes};
    const bool inIndex[] = {true, true, true, true, true, true, false};
    for (std::size_t f = 0; f < 7; ++f) {
      std::string text = forms[f];
      if (contains(text, kNoMatch)) fail("record " + std::to_string(r) + " holds the no-match text");
      int refusals = 0;
      const int assigned = applyPairs(
          &text, [&](const std::string& t) { return f != 5 || validDate(t); }, &refusals);
      refused += static_cast<std::uint64_t>(refusals);
      if (assigned == 0) continue;
      lines += static_cast<std::uint64_t>(assigned);
      ++changed;
      if (f == 5) ++dates;
      if (inIndex[f]) ++indexed;
    }
    if (!contains(notes, "Ledger")) fail("a memo without Ledger");

    record[0] = ' ';
    putLe32(&record[offsets[0]], static_cast<std::uint32_t>(r));
    putText(&record[offsets[1]], 30, name);
    putText(&record[offsets[2]], 20, city);
    putText(&record[offsets[3]], 8, code);
    record[offsets[4]] = flag ? 'T' : 'F';
    std::memcpy(&record[offsets[5]], amount, 12);
    std::memcpy(&record[offsets[6]], date, 8);
    putLe32(&record[offsets[7]], files.addMemo(notes));
    files.table.append(record.data(), record.size());
  }
  files.close();
  std::printf("pairs    ");
  for (const auto& pair : kBulkPairs) std::printf(" %s::%s", pair[0], pair[1]);
  std::printf(
      "\nexpected  %llu fields changed (%llu memos, %llu indexed, %llu dates), %llu new dates refused\n",
      static_cast<unsigned long long>(changed), static_cast<unsigned long long>(records),
      static_cast<unsigned long long>(indexed), static_cast<unsigned long long>(dates),
      static_cast<unsigned long long>(refused));
  std::printf("lines     %llu change log lines, one for each value assigned\n",
              static_cast<unsigned long long>(lines));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::uint64_t records = 1000000;
  std::uint64_t seed = 20240601;
  std::string output;
  bool bulk = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--bulk") {
      bulk = true;
    } else if ((arg == "--records" || arg == "-n") && i + 1 < argc) {
      records = std::strtoull(argv[++i], nullptr, 10);
    } else if (arg == "--seed" && i + 1 < argc) {
      seed = std::strtoull(argv[++i], nullptr, 10);
    } else if (arg == "--help" || arg == "-h") {
      usage();
      return 0;
    } else if (!arg.empty() && arg[0] != '-' && output.empty()) {
      output = arg;
    } else {
      usage();
      return 2;
    }
  }
  if (output.empty()) {
    usage();
    return 2;
  }
  if (records > 0xFFFFFFFFull) fail("too many records");
  if (bulk) return makeBulk(records, seed, output);

  TableFiles files(output, kFields, kFieldCount, records);
  const std::vector<std::uint32_t>& offsets = files.offsets;
  std::vector<unsigned char> record(files.recordLength);
  std::uint64_t markerRecords = 0;
  std::uint64_t memoRecords = 0;
  auto started = std::chrono::steady_clock::now();

  for (std::uint64_t r = 1; r <= records; ++r) {
    Random rnd(seed, r);
    const bool marked = (r % kMarkerEvery) == kMarkerOffset;

    std::string code(1, static_cast<char>('A' + rnd.below(8)));
    code += static_cast<char>('A' + rnd.below(8));
    code += '-';
    char digits[16];
    std::snprintf(digits, sizeof digits, "%07u", static_cast<unsigned>(r % 10000000));
    code += digits;

    std::string name = std::string(rnd.pick(kFirstNames)) + " " + rnd.pick(kLastNames);
    if (rnd.below(4) == 0) name = std::string(rnd.pick(kFirstNames)) + " " + name;
    if (name.size() > 30) name.resize(30);

    std::string address = std::to_string(1 + rnd.below(240)) + " ";
    address += marked ? std::string(kMarker) : std::string(rnd.pick(kStreets));
    address += " ";
    address += rnd.pick(kStreetKinds);
    address += ", ";
    address += rnd.pick(kCities);

    char amount[32];
    std::uint32_t cents = rnd.below(100000000);
    std::snprintf(amount, sizeof amount, "%10.2f", cents / 100.0);

    // A date from 1990-01-01 onwards, with plain month lengths.
    std::uint32_t year = 1990 + rnd.below(35), month = 1 + rnd.below(12);
    static const std::uint32_t kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    std::uint32_t day = 1 + rnd.below(kDays[month - 1]);
    char date[24];
    std::snprintf(date, sizeof date, "%04u%02u%02u", year, month, day);

    std::string notes;
    if (rnd.below(2) == 0) {
      std::uint32_t length = 10 + rnd.below(91);
      while (notes.size() < length) {
        if (!notes.empty()) notes += ' ';
        notes += rnd.pick(kMemoWords);
      }
      notes.resize(length);
      while (!notes.empty() && notes.back() == ' ') notes.pop_back();
    }

    // The rules the benchmark depends on.
    for (const std::string* text : {&code, &name, &address, &notes}) {
      if (contains(*text, kNoMatch)) fail("record " + std::to_string(r) + " holds the no-match text");
      if (text != &address && contains(*text, kMarker))
        fail("record " + std::to_string(r) + " holds the marker outside ADDRESS");
    }
    if (contains(address, kMarker) != marked) fail("marker rule broken at record " + std::to_string(r));
    if (marked) ++markerRecords;

    record[0] = ' ';
    putText(&record[offsets[0]], kFields[0].length, code);
    putText(&record[offsets[1]], kFields[1].length, name);
    putText(&record[offsets[2]], kFields[2].length, address);
    std::memcpy(&record[offsets[3]], amount, 10);
    std::memcpy(&record[offsets[4]], date, 8);
    std::uint32_t pointer = 0;
    if (!notes.empty()) {
      pointer = files.addMemo(notes);
      ++memoRecords;
    }
    putLe32(&record[offsets[5]], pointer);
    files.table.append(record.data(), record.size());
  }
  files.close();

  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("records   %llu, %llu with a memo, %llu holding \"%.*s\"\n",
              static_cast<unsigned long long>(records), static_cast<unsigned long long>(memoRecords),
              static_cast<unsigned long long>(markerRecords), static_cast<int>(kMarker.size()),
              kMarker.data());
  std::printf("no-match  \"%.*s\" occurs in no field\n", static_cast<int>(kNoMatch.size()), kNoMatch.data());
  std::printf("written in %.2f s\n", seconds);
  return 0;
}
