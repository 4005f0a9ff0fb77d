// Fuzzes a database container with its member tables.
//
// Input: one control byte (the find/replace pairs, see fuzz::PickPairs), then
// up to eight files, each two length-prefixed parts: its name and its bytes.
// Seeds hold a container (.dbc, .dct, .dcx) and one of its tables (.dbf with
// its memo and index), under their real names so that the paths the container
// stores and the tables' backlinks resolve. Names are reduced to plain
// characters; the first .dbc file is the container.
//
// Its tables are listed the way the data-access layer does (the tables
// schema, through FoxPro::AddTablesToFoxproListbox). Each listed table whose
// file lies in the scratch folder is opened through the container, read whole
// (the read walk), changed (the write walk) and read again for the
// untouched-record oracle. The container itself is only ever read. Every
// table file is then also opened from the folder, which reads its backlink to
// the container for the long field names.
#include <cctype>
#include <filesystem>
#include <memory>

#include "access/foxpro_module.h"
#include "data/database/database_container.h"
#include "data/file/file_names.h"
#include "data/util/error.h"
#include "fuzz/fuzz_support.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kMaxFiles = 8;

// A file name made of letters, digits, blanks, '.', '_' and '-' that names
// nothing outside the folder; "" when none is left.
std::string PlainName(std::string_view name) {
  std::string plain;
  for (char c : name.substr(0, 64)) {
    if (std::isalnum(static_cast<unsigned char>(c)) || c == ' ' || c == '.' || c == '_' || c == '-')
      plain += c;
  }
  return plain.empty() || plain[0] == '.' ? "" : plain;
}

// The table `name` of the container resolves to a file in the scratch folder.
bool MemberInScratch(const std::string& container, const std::string& name) {
  try {
    const fox::DatabaseContainer database(container);
    const fox::ContainerObject* object = database.FindTable(name);
    return object && fuzz::InScratch(database.TableFilePath(*object));
  } catch (const fox::Error&) {
    return false;
  }
}

void WalkTable(const fuzz::Source& source, const std::vector<fuzz::Pair>& pairs, bool write) {
  std::vector<std::string> finds;
  for (const fuzz::Pair& pair : pairs) finds.push_back(pair.find);
  const std::optional<fuzz::Image> before = fuzz::ReadWalk(source, finds);
  if (!write) return;
  const fuzz::Outcome outcome = fuzz::WriteWalk(source, pairs, before);
  fuzz::CheckUntouched(source, before, outcome, fuzz::ReadWalk(source, finds));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const std::vector<fuzz::Pair> pairs = fuzz::PickPairs(data[0]);
  const std::vector<std::string_view> parts =
      fuzz::SplitParts(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1), 2 * kMaxFiles);
  fuzz::ClearScratch();
  std::string container;
  for (size_t i = 0; i < kMaxFiles; ++i) {
    const std::string name = PlainName(parts[2 * i]);
    if (name.empty()) continue;
    fuzz::PutFile(name, parts[2 * i + 1]);
    if (container.empty() && !parts[2 * i + 1].empty() &&
        fox::EqualIgnoringCase(fs::path(name).extension().string(), ".dbc")) {
      container = (fuzz::Scratch() / name).string();
    }
  }
  if (container.empty()) return 0;

  quillon::DataSource source;
  source.kind = quillon::DataSourceKind::kDbc;
  source.container = container;
  quillon::RecordingErrorSink errors;
  std::vector<std::string> tables;
  quillon::FoxPro(source, errors).AddTablesToFoxproListbox(tables);
  const std::string connection =
      fox::ConnectionString::Build(fox::ConnectionString::SourceType::kDatabase, container);
  for (const std::string& table : tables) {
    if (MemberInScratch(container, table)) WalkTable({connection, table, false}, pairs, true);
  }

  const std::string folder =
      fox::ConnectionString::Build(fox::ConnectionString::SourceType::kFreeTables, fuzz::Scratch().string());
  for (const auto& entry : fs::directory_iterator(fuzz::Scratch())) {
    if (fox::EqualIgnoringCase(entry.path().extension().string(), ".dbf")) {
      WalkTable({folder, entry.path().stem().string(), false}, pairs, false);
    }
  }
  return 0;
}
