#include "data/index/compound_index.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "data/expression/expression_tokens.h"
#include "data/index/index_page.h"
#include "data/util/byte_order.h"
#include "data/util/error.h"

namespace fox {

namespace {

constexpr uint32_t kPageSize = 512;
constexpr uint32_t kHeaderSize = 1024;  // bag header and every tag header
constexpr uint32_t kNoPage = 0xFFFFFFFF;
constexpr uint16_t kMaxKeyLength = 240;
constexpr int kMaxTreeDepth = 64;

// Page attribute bits; VFP sets further bits (0x04) whose meaning is unknown.
constexpr uint16_t kRootPage = 0x01;
constexpr uint16_t kLeafPage = 0x02;

// Tag header fields.
constexpr size_t kKeyLengthAt = 12;
constexpr size_t kOptionsAt = 14;
constexpr size_t kSignatureAt = 15;
constexpr size_t kCollationAt = 494;
constexpr size_t kCollationSize = 8;
constexpr size_t kDescendingAt = 502;
constexpr size_t kFilterOffsetAt = 504;
constexpr size_t kFilterLengthAt = 506;
constexpr size_t kKeyOffsetAt = 508;
constexpr size_t kKeyExpressionLengthAt = 510;
constexpr size_t kPoolAt = 512;
constexpr size_t kPoolSize = 512;

constexpr uint8_t kBinarySignature = 5;
constexpr uint8_t kCollatedSignature = 2;

const unsigned char* Bytes(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

std::string Hex(uint32_t v) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string s = "0x";
  bool started = false;
  for (int shift = 28; shift >= 0; shift -= 4) {
    int d = (v >> shift) & 0xF;
    if (d || started || shift == 0) {
      s += kDigits[d];
      started = true;
    }
  }
  return s;
}

std::string TrimRight(std::string s, const char* chars) {
  s.erase(s.find_last_not_of(chars) + 1);
  return s;
}

// Strict (key bytes, record number) order in which every page of a tag is
// kept, descending tags included.
bool Before(const IndexEntry& a, const IndexEntry& b) {
  int c = a.key.compare(b.key);  // std::string compares char_traits<char>: unsigned bytes
  return c < 0 || (c == 0 && a.recno < b.recno);
}

// ---------------------------------------------------------------------------
// Expressions: the names they refer to and the guess of a key's value type.

using Token = ExpressionToken;

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::vector<Token> Tokenize(const std::string& e) { return TokenizeExpression(e); }

bool IsBareOperator(const Token& t) { return IsBareLogicalOperator(t); }

bool IsQualifier(const std::vector<Token>& tokens, size_t i) {
  return i + 2 < tokens.size() && tokens[i].kind == Token::kName &&
         (tokens[i + 1].kind == Token::kDot || tokens[i + 1].kind == Token::kArrow) &&
         tokens[i + 2].kind == Token::kName;
}

bool IsFunctionCall(const std::vector<Token>& tokens, size_t i) {
  return tokens[i].kind == Token::kName && i + 1 < tokens.size() && tokens[i + 1].kind == Token::kOpen;
}

// Value types of the functions that occur in index expressions. FoxPro lets
// a function name be cut to its first four letters.
struct FunctionType {
  const char* name;
  char type;  // 'C' character, 'N' number, 'D' date, 'T' datetime, 'L' logical,
              // '1' the type of the first argument, '2' of the second
};
constexpr FunctionType kFunctions[] = {
    {"ALLTRIM", 'C'}, {"LTRIM", 'C'},     {"RTRIM", 'C'},      {"TRIM", 'C'},       {"UPPER", 'C'},
    {"LOWER", 'C'},   {"PROPER", 'C'},    {"PADR", 'C'},       {"PADL", 'C'},       {"PADC", 'C'},
    {"SUBSTR", 'C'},  {"SUBSTRC", 'C'},   {"LEFT", 'C'},       {"LEFTC", 'C'},      {"RIGHT", 'C'},
    {"RIGHTC", 'C'},  {"STR", 'C'},       {"DTOS", 'C'},       {"DTOC", 'C'},       {"TTOC", 'C'},
    {"CHR", 'C'},     {"SPACE", 'C'},     {"REPLICATE", 'C'},  {"STUFF", 'C'},      {"STRTRAN", 'C'},
    {"CHRTRAN", 'C'}, {"TRANSFORM", 'C'}, {"SYS", 'C'},        {"SOUNDEX", 'C'},    {"CDOW", 'C'},
    {"CMONTH", 'C'},  {"BINTOC", 'C'},    {"STREXTRACT", 'C'}, {"GETWORDNUM", 'C'}, {"VAL", 'N'},
    {"LEN", 'N'},     {"YEAR", 'N'},      {"MONTH", 'N'},      {"DAY", 'N'},        {"DOW", 'N'},
    {"HOUR", 'N'},    {"MINUTE", 'N'},    {"SEC", 'N'},        {"INT", 'N'},        {"ROUND", 'N'},
    {"ABS", 'N'},     {"CEILING", 'N'},   {"FLOOR", 'N'},      {"MOD", 'N'},        {"RECNO", 'N'},
    {"AT", 'N'},      {"ATC", 'N'},       {"RAT", 'N'},        {"OCCURS", 'N'},     {"ASC", 'N'},
    {"CTOBIN", 'N'},  {"LENC", 'N'},      {"DATE", 'D'},       {"CTOD", 'D'},       {"TTOD", 'D'},
    {"GOMONTH", 'D'}, {"DATETIME", 'T'},  {"CTOT", 'T'},       {"DTOT", 'T'},       {"DELETED", 'L'},
    {"EMPTY", 'L'},   {"ISNULL", 'L'},    {"ISBLANK", 'L'},    {"BETWEEN", 'L'},    {"INLIST", 'L'},
    {"ISDIGIT", 'L'}, {"ISALPHA", 'L'},   {"ISUPPER", 'L'},    {"ISLOWER", 'L'},    {"IIF", '2'},
    {"NVL", '1'},     {"EVL", '1'},       {"MAX", '1'},        {"MIN", '1'},
};

char FunctionResultType(const std::string& upper_name) {
  for (const auto& f : kFunctions)
    if (upper_name == f.name) return f.type;
  if (upper_name.size() < 4) return '?';
  char found = 0;
  for (const auto& f : kFunctions) {
    if (std::strncmp(f.name, upper_name.c_str(), upper_name.size()) != 0) continue;
    if (found && found != f.type) return '?';
    found = f.type;
  }
  return found ? found : '?';
}

// Index of the token that closes the parenthesis opened at `open`.
size_t MatchingClose(const std::vector<Token>& t, size_t open, size_t end) {
  int depth = 0;
  for (size_t i = open; i < end; ++i) {
    if (t[i].kind == Token::kOpen) ++depth;
    if (t[i].kind == Token::kClose && --depth == 0) return i;
  }
  return end;
}

char TypeOf(const std::vector<Token>& t, size_t begin, size_t end, const CompoundIndex::FieldTypes& fields);

// The type of argument `index` (0-based) of the call whose "(" is at `open`.
char ArgumentType(const std::vector<Token>& t, size_t open, size_t close, int index,
                  const CompoundIndex::FieldTypes& fields) {
  size_t start = open + 1;
  int depth = 0, arg = 0;
  for (size_t i = open + 1; i <= close && i < t.size(); ++i) {
    if (t[i].kind == Token::kOpen) ++depth;
    if (t[i].kind == Token::kClose) --depth;
    bool ends = (t[i].kind == Token::kComma && depth == 0) || i == close;
    if (!ends) continue;
    if (arg == index) return TypeOf(t, start, i, fields);
    ++arg;
    start = i + 1;
  }
  return '?';
}

// The value type of the expression in tokens [begin, end): logical when a
// comparison or logical operator joins its parts at the top level, otherwise
// the type of its first operand (FoxPro's + and - keep the left operand's
// type: strings concatenate, dates move by days).
char TypeOf(const std::vector<Token>& t, size_t begin, size_t end, const CompoundIndex::FieldTypes& fields) {
  if (begin >= end) return '?';
  int depth = 0;
  for (size_t i = begin; i < end; ++i) {
    if (t[i].kind == Token::kOpen) ++depth;
    if (t[i].kind == Token::kClose) --depth;
    if (depth != 0) continue;
    if (t[i].kind == Token::kDotWord && (t[i].text == "AND" || t[i].text == "OR" || t[i].text == "NOT"))
      return 'L';
    if (IsBareOperator(t[i])) return 'L';
    if (t[i].kind == Token::kOperator && std::strchr("=<>#$!", t[i].text[0])) return 'L';
  }
  size_t i = begin;
  while (i < end && t[i].kind == Token::kOperator && (t[i].text == "-" || t[i].text == "+")) ++i;
  if (i >= end) return '?';
  switch (t[i].kind) {
    case Token::kString:
      return 'C';
    case Token::kNumber:
      return 'N';
    case Token::kDotWord:
      return t[i].text == "NULL" ? '?' : 'L';
    case Token::kOpen:
      return TypeOf(t, i + 1, MatchingClose(t, i, end), fields);
    case Token::kName: {
      if (IsFunctionCall(t, i)) {
        size_t close = MatchingClose(t, i + 1, end);
        char type = FunctionResultType(t[i].text);
        if (type == '1') return ArgumentType(t, i + 1, close, 0, fields);
        if (type == '2') return ArgumentType(t, i + 1, close, 1, fields);
        return type;
      }
      size_t name = i;
      while (IsQualifier(t, name) && name + 2 < end) name += 2;
      auto it = fields.find(Upper(t[name].text));
      if (it == fields.end()) {
        std::string lower = t[name].text;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        it = fields.find(lower);
      }
      return it == fields.end() ? '?' : it->second;
    }
    default:
      return '?';
  }
}

}  // namespace

std::set<std::string> NamesInExpression(const std::string& expression) {
  std::vector<Token> tokens = Tokenize(expression);
  std::set<std::string> names;
  for (size_t i = 0; i < tokens.size(); ++i) {
    const Token& t = tokens[i];
    if (t.kind != Token::kName || IsBareOperator(t)) continue;
    if (IsFunctionCall(tokens, i)) continue;
    if (IsQualifier(tokens, i)) continue;  // the alias; its field follows
    std::string lower = t.text;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    names.insert(lower);
  }
  return names;
}

bool MayReadUnnamedFields(const std::string& expression) {
  std::vector<Token> tokens = Tokenize(expression);
  for (size_t i = 0; i < tokens.size(); ++i) {
    if (!IsFunctionCall(tokens, i)) continue;
    // EVALUATE() is not listed: it reads whatever its text names.
    if (FunctionResultType(tokens[i].text) == '?') return true;
  }
  return false;
}

char KeyTypeOfExpression(const std::string& expression, const CompoundIndex::FieldTypes& field_types) {
  std::vector<Token> tokens = Tokenize(expression);
  char type = TypeOf(tokens, 0, tokens.size(), field_types);
  switch (type) {
    case 'V':
    case 'M':
      return 'C';
    case 'F':
    case 'B':
    case 'Y':
      return 'N';
    default:
      return type;
  }
}

// ---------------------------------------------------------------------------

CompoundIndex::CompoundIndex(const std::string& path, const std::string& table, const FieldTypes& field_types,
                             DiskFile::Mode mode)
    : path_(path), table_(table) {
  file_ = std::make_unique<DiskFile>(path, mode, "index file");
  size_ = file_->Size();
  if (size_ < kHeaderSize)
    Corrupt("it is " + std::to_string(size_) + " bytes long, shorter than its 1024-byte header");

  std::string bag(kHeaderSize, '\0');
  file_->ReadExactAt(0, bag.data(), bag.size(), "index header");
  uint32_t directory_root = LoadLE32(Bytes(bag));
  uint16_t directory_key_length = LoadLE16(Bytes(bag) + kKeyLengthAt);
  if (directory_key_length == 0 || directory_key_length > kMaxKeyLength)
    Corrupt("the tag directory has key length " + std::to_string(directory_key_length));

  std::vector<IndexEntry> directory =
      ReadLeafChain(directory_root, directory_key_length, ' ', "the tag directory", true);
  for (const IndexEntry& entry : directory) {
    std::string name = entry.key;
    while (!name.empty() && (name.back() == ' ' || name.back() == '\0')) name.pop_back();
    if (name.empty()) Corrupt("the tag directory holds an empty tag name");
    tags_.push_back(ReadTagHeader(name, entry.recno, field_types));
  }
  // Creation order, the order in which VFP numbers the tags.
  std::stable_sort(tags_.begin(), tags_.end(),
                   [](const IndexTag& a, const IndexTag& b) { return a.header_offset < b.header_offset; });
}

IndexTag CompoundIndex::ReadTagHeader(const std::string& name, uint32_t offset,
                                      const FieldTypes& field_types) const {
  const std::string what = "tag " + name;
  if (offset % kPageSize != 0 || offset < kHeaderSize || uint64_t{offset} + kHeaderSize > size_)
    Corrupt("the header of " + what + " at offset " + Hex(offset) + " lies outside the file");
  std::string h(kHeaderSize, '\0');
  file_->ReadExactAt(offset, h.data(), h.size(), "the header of " + what);
  const unsigned char* b = Bytes(h);

  IndexTag tag;
  tag.name = name;
  tag.header_offset = offset;
  tag.root_page = LoadLE32(b);
  tag.key_length = LoadLE16(b + kKeyLengthAt);
  tag.options = b[kOptionsAt];
  tag.signature = b[kSignatureAt];
  if (tag.key_length == 0 || tag.key_length > kMaxKeyLength)
    Corrupt(what + " has key length " + std::to_string(tag.key_length));
  CheckPageOffset(tag.root_page, "the root page of " + what);

  std::string collation(h.data() + kCollationAt, kCollationSize);
  collation = collation.substr(0, collation.find('\0'));
  tag.collation = TrimRight(collation, " ") == "MACHINE" ? "" : TrimRight(collation, " ");
  tag.descending = LoadLE16(b + kDescendingAt) != 0;

  uint16_t key_at = LoadLE16(b + kKeyOffsetAt), key_size = LoadLE16(b + kKeyExpressionLengthAt);
  uint16_t for_at = LoadLE16(b + kFilterOffsetAt), for_size = LoadLE16(b + kFilterLengthAt);
  // Some writers leave both offsets 0; the FOR expression then follows the key's NUL.
  if (key_at == 0 && for_at == 0 && for_size > 1) for_at = key_size;
  auto expression = [&](uint16_t at, uint16_t size, const char* which) {
    if (uint32_t{at} + size > kPoolSize)
      Corrupt("the " + std::string(which) + " expression of " + what + " runs past its header");
    std::string s(h.data() + kPoolAt + at, size);
    return s.substr(0, s.find('\0'));
  };
  tag.key_expression = expression(key_at, key_size, "key");
  tag.filter_expression = expression(for_at, for_size, "FOR");

  tag.key_type = KeyTypeOfExpression(tag.key_expression, field_types);
  // Collated keys are weights filled up with zeros; MACHINE character keys
  // are padded with blanks; every other key type with zeros.
  tag.pad_byte =
      (tag.signature != kCollatedSignature && (tag.key_type == 'C' || tag.key_type == '?')) ? 0x20 : 0x00;
  return tag;
}

std::vector<IndexEntry> CompoundIndex::ReadEntries(const IndexTag& tag) const {
  const std::string what = "tag " + tag.name;
  size_ = file_->Size();
  if (tag.signature == kBinarySignature)
    throw Error(ErrorKind::kUnsupported, "Tag " + tag.name + " of table " + table_ + " in \"" + path_ +
                                             "\" is a binary (bitmap) index, which cannot be read.");
  if (tag.key_length == 0 || tag.key_length > kMaxKeyLength)
    Corrupt(what + " has key length " + std::to_string(tag.key_length));
  // The order can be checked only when the pad byte is known to be right.
  bool check_order = tag.key_type != '?' || tag.signature == kCollatedSignature;
  return ReadLeafChain(tag.root_page, tag.key_length, static_cast<char>(tag.pad_byte), what, check_order);
}

void CompoundIndex::Corrupt(const std::string& what) const {
  throw Error(ErrorKind::kCorrupt,
              "The index file \"" + path_ + "\" of table " + table_ + " is damaged: " + what + ".");
}

void CompoundIndex::CheckPageOffset(uint32_t offset, const std::string& what) const {
  if (offset % kPageSize != 0 || offset < kHeaderSize || uint64_t{offset} + kPageSize > size_)
    Corrupt(what + " points to offset " + Hex(offset) + ", outside the file's pages (file size " +
            std::to_string(size_) + ")");
}

std::string CompoundIndex::ReadPage(uint32_t offset, const std::string& what) const {
  CheckPageOffset(offset, what);
  std::string page(kPageSize, '\0');
  file_->ReadExactAt(offset, page.data(), page.size(), what);
  return page;
}

std::vector<IndexEntry> CompoundIndex::ReadLeafChain(uint32_t root, uint16_t key_length, char trail,
                                                     const std::string& what, bool check_order) const {
  std::set<uint32_t> visited;
  auto visit = [&](uint32_t offset, const std::string& role) {
    if (!visited.insert(offset).second)
      Corrupt(what + " reaches the page at " + Hex(offset) + " twice (" + role + "), a loop in its tree");
    return ReadPage(offset, what + ": " + role);
  };

  // Down the leftmost branch to the first leaf.
  uint32_t offset = root;
  std::string page = visit(offset, "root page");
  const size_t interior_capacity = 500 / (key_length + 8);
  for (int depth = 0; !(LoadLE16(Bytes(page)) & kLeafPage); ++depth) {
    uint16_t count = LoadLE16(Bytes(page) + 2);
    if (count == 0 || count > interior_capacity)
      Corrupt(what + ": the interior page at " + Hex(offset) + " claims " + std::to_string(count) + " keys");
    if (depth >= kMaxTreeDepth) Corrupt(what + ": the tree is deeper than " + std::to_string(kMaxTreeDepth));
    uint32_t child = LoadBE32(Bytes(page) + 12 + key_length + 4);
    page = visit(child, "child of the page at " + Hex(offset));
    offset = child;
  }

  // Along the leaf level.
  std::vector<IndexEntry> entries;
  for (;;) {
    size_t first = entries.size();
    DecodeLeaf(page, offset, key_length, trail, what, &entries);
    if (check_order) {
      for (size_t i = std::max<size_t>(first, 1); i < entries.size(); ++i)
        if (!Before(entries[i - 1], entries[i]))
          Corrupt(what + ": the keys of the leaf page at " + Hex(offset) + " are out of order");
    }
    uint32_t next = LoadLE32(Bytes(page) + 8);
    if (next == kNoPage) break;
    page = visit(next, "right sibling of the leaf page at " + Hex(offset));
    if (!(LoadLE16(Bytes(page)) & kLeafPage))
      Corrupt(what + ": the right sibling of the leaf page at " + Hex(offset) + " is not a leaf page");
    offset = next;
  }
  return entries;
}

void CompoundIndex::DecodeLeaf(const std::string& page, uint32_t offset, uint16_t key_length, char trail,
                               const std::string& what, std::vector<IndexEntry>* out) const {
  IndexNode node;
  const std::string problem = DecodeIndexNode(page, key_length, trail, &node);
  if (!problem.empty()) Corrupt(what + ": the leaf page at " + Hex(offset) + " " + problem);
  out->insert(out->end(), std::make_move_iterator(node.entries.begin()),
              std::make_move_iterator(node.entries.end()));
}

}  // namespace fox
