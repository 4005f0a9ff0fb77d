// Fuzzes a free table with its memo file and structural index.
//
// Input: one control byte, then three length-prefixed parts (see
// fuzz::SplitParts): the table file, the memo file and the structural index,
// written as t.dbf, t.fpt (also reachable as t.dbt, for dBase tables) and
// t.cdx in the scratch folder; an empty part writes no file. The control
// byte's low six bits choose two find/replace pairs (fuzz::PickPairs); bit 6
// lets a table whose index file is missing be changed.
//
// The table is read whole (the read walk and its search checks), the pairs
// are replaced in every field of every record and saved through a Recordset
// as a replacement run does (the write walk), and the table read again must
// pass the untouched-record oracle.
#include <filesystem>

#include "data/database/connection_string.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t control = data[0];
  const std::vector<std::string_view> parts =
      fuzz::SplitParts(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1), 3);
  fuzz::ClearScratch();
  fuzz::PutFile("t.dbf", parts[0]);
  fuzz::PutFile("t.fpt", parts[1]);
  if (!parts[1].empty())
    std::filesystem::create_hard_link(fuzz::Scratch() / "t.fpt", fuzz::Scratch() / "t.dbt");
  fuzz::PutFile("t.cdx", parts[2]);

  const fuzz::Source source{
      fox::ConnectionString::Build(fox::ConnectionString::SourceType::kFreeTables, fuzz::Scratch().string()),
      "t", (control & 0x40) != 0};
  const std::vector<fuzz::Pair> pairs = fuzz::PickPairs(control);
  std::vector<std::string> finds;
  for (const fuzz::Pair& pair : pairs) finds.push_back(pair.find);

  const std::optional<fuzz::Image> before = fuzz::ReadWalk(source, finds);
  const fuzz::Outcome outcome = fuzz::WriteWalk(source, pairs, before);
  fuzz::CheckUntouched(source, before, outcome, fuzz::ReadWalk(source, finds));
  return 0;
}
