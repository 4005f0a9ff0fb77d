// The probe store keeps every text it was given, found in order or out of
// it, its probes and their texts staying put while thousands more are
// stored (its blocks fill, long texts get their own, its index grows).
#include "data/table/probe_store.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string TextOf(size_t k) {
  // Short texts, a few longer than a block's quarter, and the empty text.
  if (k == 7) return "";
  if (k % 997 == 3) return std::string(20000 + k, static_cast<char>('a' + k % 26));
  return "find" + std::to_string(k);
}

TEST(ProbeStore, KeepsEveryProbeWithViewsThatStayPut) {
  fox::ProbeStore store;
  std::vector<const fox::ProbeStore::Probe*> added;
  constexpr size_t kTexts = 5000;
  for (size_t k = 0; k < kTexts; ++k) {
    const std::string text = TextOf(k);
    ASSERT_FALSE(store.Find(text)) << k;
    // Stored bytes: none, the text itself, or bytes of their own.
    const std::string other = "B" + text;
    const std::optional<std::string_view> bytes =
        k % 3 == 0 ? std::nullopt
                   : std::optional<std::string_view>(k % 3 == 1 ? std::string_view(text) : other);
    added.push_back(&store.Add(text, bytes, k % 5 == 0, static_cast<uint32_t>(k % 4)));
  }
  EXPECT_EQ(store.size(), kTexts);
  for (size_t k = 0; k < kTexts; ++k) {
    const std::string text = TextOf(k);
    const fox::ProbeStore::Probe& probe = *added[k];
    ASSERT_EQ(probe.text(), text) << k;  // the first probes still read their texts
    ASSERT_EQ(probe.by_field(), k % 5 == 0) << k;
    ASSERT_EQ(probe.one_by_one(), k % 4) << k;
    ASSERT_EQ(probe.bytes().has_value(), k % 3 != 0) << k;
    if (k % 3 == 2) {
      ASSERT_EQ(probe.bytes(), "B" + text) << k;
    }
    ASSERT_EQ(store.Find(text), added[k]) << k;
    ASSERT_EQ(store.Find(text), added[k]) << k;  // asked again in a row
  }
  for (size_t k = kTexts; k-- > 0;) {  // out of order: through the index
    ASSERT_EQ(store.Find(TextOf(k)), added[k]) << k;
  }
  EXPECT_FALSE(store.Find("find"));
  store.Clear();
  EXPECT_EQ(store.size(), 0u);
  EXPECT_FALSE(store.Find(TextOf(1)));
  EXPECT_EQ(store.Add(TextOf(1), std::nullopt, false, 0).text(), TextOf(1));
}

}  // namespace
