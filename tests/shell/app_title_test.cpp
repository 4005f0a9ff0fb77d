#include "shell/app_title.h"

#include <gtest/gtest.h>

#include <string>

using quillon::TitleFromProductName;

TEST(AppTitleTest, TheLastWordAlwaysGoesEvenWhenTheNameFits) {
  EXPECT_EQ(TitleFromProductName("Alpha Beta Gamma"), "Alpha Beta");
  EXPECT_EQ(TitleFromProductName("Alpha Beta"), "Alpha");
  EXPECT_EQ(TitleFromProductName("Alpha "), "Alpha");  // a blank at the end is the last "word"
}

TEST(AppTitleTest, ALongNameLosesWordsFromItsEndUntilFortyCharactersRemain) {
  // 60 characters; without its last word 54, then 48, then 39.
  const std::string name = "Quillon Visual FoxPro Table Text Finder Replacer Tools Suite";
  ASSERT_EQ(name.size(), 60u);
  EXPECT_EQ(TitleFromProductName(name), "Quillon Visual FoxPro Table Text Finder");
  // Exactly 40 characters after the first cut: nothing more goes.
  const std::string forty = std::string(19, 'a') + " " + std::string(20, 'b');
  EXPECT_EQ(TitleFromProductName(forty + " last"), forty);
  // Characters, not bytes: 38 two-byte letters, a blank and a letter fit.
  std::string wide;
  for (int i = 0; i < 38; ++i) wide += "é";
  EXPECT_EQ(TitleFromProductName(wide + " x y"), wide + " x");
}

TEST(AppTitleTest, ANameWithoutABlankServesWholeUpToFortyCharacters) {
  EXPECT_EQ(TitleFromProductName("Quillon"), "Quillon");
  EXPECT_EQ(TitleFromProductName(std::string(45, 'q')), std::string(40, 'q'));
  // A first word longer than the limit is cut once no blank is left.
  EXPECT_EQ(TitleFromProductName(std::string(45, 'q') + " end"), std::string(40, 'q'));
}

TEST(AppTitleTest, SetAppTitleTitlesTheProgramFromItsProductName) {
  quillon::SetAppTitle();
  EXPECT_EQ(quillon::ApplicationTitle(), "Quillon");
}
