// Code pages: table bytes to UTF-8 and back, without loss and without
// silently substituting characters.
#include "data/text/code_page.h"

#include <gtest/gtest.h>

#include <optional>

#include "data/util/error.h"
#include "tests/support/test_support.h"

namespace {

using fox::CodePage;
using fox::Error;
using fox::ErrorKind;
using testing_support::ErrorOf;

// Every code page a table header can name.
const int kTableCodePages[] = {437,  620,  737,  850,  852,   857,   861,   865,  866,
                               874,  895,  932,  936,  949,   950,   1250,  1251, 1252,
                               1253, 1254, 1255, 1256, 10000, 10006, 10007, 10029};

std::string AllBytes() {
  std::string bytes;
  for (int b = 0; b < 256; ++b) bytes += static_cast<char>(b);
  return bytes;
}

TEST(CodePage, EverySingleByteCodePageRoundTripsEveryByte) {
  int converted = 0;
  for (int number : kTableCodePages) {
    CodePage* page = nullptr;
    std::optional<CodePage> loaded;
    try {
      loaded.emplace(CodePage::FromNumber(number));
      page = &*loaded;
    } catch (const Error& e) {
      // Only the rare DOS and Macintosh pages may be missing from the system.
      EXPECT_EQ(e.kind(), ErrorKind::kUnsupported);
      EXPECT_TRUE(number == 620 || number == 895 || number == 10006) << number << ": " << e.what();
      EXPECT_NE(std::string(e.what()).find(std::to_string(number)), std::string::npos) << e.what();
      continue;
    }
    EXPECT_EQ(page->number(), number);
    if (!page->single_byte()) continue;
    ++converted;
    std::string text = page->Decode(AllBytes());
    EXPECT_EQ(page->Encode(text), AllBytes()) << "code page " << number;
    // Each byte on its own decodes to the same text as within a run.
    std::string joined;
    for (int b = 0; b < 256; ++b) joined += page->Decode(std::string(1, static_cast<char>(b)));
    EXPECT_EQ(joined, text) << "code page " << number;
  }
  EXPECT_GE(converted, 19);
}

TEST(CodePage, DecodesKnownCharacters) {
  CodePage cp1252 = CodePage::FromNumber(1252);
  EXPECT_EQ(cp1252.Decode("caf\xE9 \x80 \x93ok\x94"), "café € “ok”");
  EXPECT_EQ(cp1252.Decode("\x81\x8D\x8F\x90\x9D"), "\u0081\u008D\u008F\u0090\u009D");  // undefined in cp1252
  EXPECT_EQ(cp1252.Decode("plain ascii"), "plain ascii");
  EXPECT_EQ(cp1252.Decode(std::string("a\0b", 3)), std::string("a\0b", 3));
  EXPECT_EQ(cp1252.Decode(""), "");

  EXPECT_EQ(CodePage::FromNumber(1251).Decode("\xCF\xF0\xE8\xE2\xE5\xF2 \xA8\xB8"), "Привет Ёё");
  EXPECT_EQ(CodePage::FromNumber(866).Decode("\x8F\xE0\xA8\xA2\xA5\xE2"), "Привет");
  EXPECT_EQ(CodePage::FromNumber(437).Decode("\x82\xE1\xB0\x9C"), "éß░£");
  EXPECT_EQ(CodePage::FromNumber(850).Decode("\x82\xD5"), "éı");
  EXPECT_EQ(CodePage::FromNumber(874).Decode("\xA1\xD2\xC3 \x80"), "การ €");
  EXPECT_EQ(CodePage::FromNumber(10000).Decode("\x8E\xA5"), "é•");

  CodePage cp932 = CodePage::FromNumber(932);
  EXPECT_FALSE(cp932.single_byte());
  EXPECT_EQ(cp932.Decode("\x93\xFA\x96\x7B\x8C\xEA abc \xB1"), "日本語 abc ｱ");
  EXPECT_EQ(CodePage::FromNumber(936).Decode("\xD6\xD0\xCE\xC4"), "中文");
  EXPECT_EQ(CodePage::FromNumber(949).Decode("\xC7\xD1\xB1\xDB"), "한글");
  EXPECT_EQ(CodePage::FromNumber(950).Decode("\xA4\xA4\xA4\xE5"), "中文");
}

TEST(CodePage, EncodesAndRefusesWhatTheCodePageCannotHold) {
  CodePage cp1252 = CodePage::FromNumber(1252);
  EXPECT_EQ(cp1252.Encode("café €"), "caf\xE9 \x80");
  Error e = ErrorOf([&] { cp1252.Encode("abc Жd"); });
  EXPECT_EQ(e.kind(), ErrorKind::kInvalidValue);
  EXPECT_NE(std::string(e.what()).find("'Ж' (U+0416)"), std::string::npos) << e.what();
  EXPECT_NE(std::string(e.what()).find("1252"), std::string::npos) << e.what();
  EXPECT_EQ(ErrorOf([&] { CodePage::FromNumber(1251).Encode("smile \U0001F600"); }).kind(),
            ErrorKind::kInvalidValue);

  CodePage cp932 = CodePage::FromNumber(932);
  EXPECT_EQ(cp932.Encode("日本語 abc ｱ"), "\x93\xFA\x96\x7B\x8C\xEA abc \xB1");
  EXPECT_EQ(cp932.Encode(""), "");
  // Cyrillic is in cp932; Hangul is not.
  EXPECT_EQ(cp932.Decode(cp932.Encode("日本 Ж ok")), "日本 Ж ok");
  Error hangul = ErrorOf([&] { cp932.Encode("日本 한"); });
  EXPECT_EQ(hangul.kind(), ErrorKind::kInvalidValue);
  EXPECT_NE(std::string(hangul.what()).find("U+D55C"), std::string::npos) << hangul.what();
  EXPECT_NE(std::string(hangul.what()).find("932"), std::string::npos) << hangul.what();
}

TEST(CodePage, MalformedInputIsAnError) {
  for (int number : {1252, 932}) {
    CodePage page = CodePage::FromNumber(number);
    for (std::string bad : {"\xC3", "a\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\x80"}) {
      EXPECT_EQ(ErrorOf([&] { page.Encode(bad); }).kind(), ErrorKind::kInvalidValue) << number;
    }
  }
  CodePage cp932 = CodePage::FromNumber(932);
  EXPECT_EQ(ErrorOf([&] { cp932.Decode("ab\x93"); }).kind(), ErrorKind::kCorrupt);  // cut character
  Error e = ErrorOf([&] { cp932.Decode("ab\x85\x40"); });                           // unassigned pair
  EXPECT_EQ(e.kind(), ErrorKind::kCorrupt);
  EXPECT_NE(std::string(e.what()).find("932"), std::string::npos) << e.what();
}

TEST(CodePage, MarksNameCodePages) {
  EXPECT_EQ(CodePage::FromMark(0x00).number(), 437);  // unmarked: DOS text
  EXPECT_EQ(CodePage::FromMark(0x03).number(), 1252);
  EXPECT_EQ(CodePage::FromMark(0xC9).number(), 1251);
  EXPECT_EQ(CodePage::FromMark(0x02).number(), 850);
  EXPECT_EQ(CodePage::FromMark(0x7B).number(), 932);
  EXPECT_EQ(CodePage::FromMark(0x96).number(), 10007);
  EXPECT_EQ(CodePage::FromMark(0x97).number(), 10029);
  EXPECT_TRUE(CodePage::FromMark(0x7C).single_byte());
  EXPECT_EQ(ErrorOf([] { CodePage::FromMark(0xFF); }).kind(), ErrorKind::kUnsupported);
  EXPECT_EQ(ErrorOf([] { CodePage::FromNumber(1257); }).kind(), ErrorKind::kUnsupported);
  EXPECT_EQ(ErrorOf([] { CodePage::FromNumber(0); }).kind(), ErrorKind::kUnsupported);
}

}  // namespace
