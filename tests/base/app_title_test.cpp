#include "base/app_title.h"

#include <gtest/gtest.h>

#include <string>

using quillon::TitleFromProductName;

TEST(AppTitleTest, TheLastWordAlwaysGoesThenMoreUntilFortyCharactersRemain) {
  EXPECT_EQ(TitleFromProductName("Alpha Beta Gamma"), "Alpha Beta");
  // 60 characters; without its last words 54, 48, then 39.
  EXPECT_EQ(TitleFromProductName("Quillon Visual FoxPro Table Text Finder Replacer Tools Suite"),
            "Quillon Visual FoxPro Table Text Finder");
  const std::string forty = std::string(19, 'a') + " " + std::string(20, 'b');
  EXPECT_EQ(TitleFromProductName(forty + " last"), forty);
  // Characters, not bytes: 38 two-byte letters, a blank and a letter fit.
  std::string wide;
  for (int i = 0; i < 38; ++i) wide += "é";
  EXPECT_EQ(TitleFromProductName(wide + " x y"), wide + " x");
}

TEST(AppTitleTest, ANameWithoutABlankServesWholeUpToFortyCharacters) {
  EXPECT_EQ(TitleFromProductName(std::string(45, 'q')), std::string(40, 'q'));
  EXPECT_EQ(TitleFromProductName(std::string(45, 'q') + " end"), std::string(40, 'q'));
  quillon::SetAppTitle();
  EXPECT_EQ(quillon::ApplicationTitle(), "Quillon");
}
