// Code-page conversions with Windows-1252 as the ANSI code page.
#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <string>

namespace {

struct CodePoint {
  unsigned char ansi;
  char16_t unicode;
};

// The typographic range 0x80-0x9F of Windows-1252 (the five undefined bytes
// map to the C1 controls of the same value), and the edges around it.
const CodePoint kCodePoints[] = {
    {0x00, 0x0000}, {0x41, 0x0041}, {0x7F, 0x007F}, {0x80, 0x20AC}, {0x81, 0x0081}, {0x82, 0x201A},
    {0x83, 0x0192}, {0x84, 0x201E}, {0x85, 0x2026}, {0x86, 0x2020}, {0x87, 0x2021}, {0x88, 0x02C6},
    {0x89, 0x2030}, {0x8A, 0x0160}, {0x8B, 0x2039}, {0x8C, 0x0152}, {0x8D, 0x008D}, {0x8E, 0x017D},
    {0x8F, 0x008F}, {0x90, 0x0090}, {0x91, 0x2018}, {0x92, 0x2019}, {0x93, 0x201C}, {0x94, 0x201D},
    {0x95, 0x2022}, {0x96, 0x2013}, {0x97, 0x2014}, {0x98, 0x02DC}, {0x99, 0x2122}, {0x9A, 0x0161},
    {0x9B, 0x203A}, {0x9C, 0x0153}, {0x9D, 0x009D}, {0x9E, 0x017E}, {0x9F, 0x0178}, {0xA0, 0x00A0},
    {0xE9, 0x00E9}, {0xFF, 0x00FF},
};

TEST(CodePage, EveryByteOfTheTableConvertsBothWays) {
  for (const CodePoint& point : kCodePoints) {
    SCOPED_TRACE(testing::Message() << "byte 0x" << std::hex << int(point.ansi));
    const char ansi = static_cast<char>(point.ansi);
    WCHAR wide = 0xFFFF;
    ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, &ansi, 1, &wide, 1), 1);
    EXPECT_EQ(static_cast<char16_t>(wide), point.unicode);

    const WCHAR unicode = static_cast<WCHAR>(point.unicode);
    char back = 0;
    BOOL usedDefault = TRUE;
    ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, &unicode, 1, &back, 1, NULL, &usedDefault), 1);
    EXPECT_EQ(static_cast<unsigned char>(back), point.ansi);
    EXPECT_FALSE(usedDefault);
  }
}

TEST(CodePage, AllTwoHundredFiftySixBytesRoundTrip) {
  for (int byte = 0; byte < 256; ++byte) {
    const char ansi = static_cast<char>(byte);
    WCHAR wide = 0;
    ASSERT_EQ(MultiByteToWideChar(1252, 0, &ansi, 1, &wide, 1), 1);
    char back = 0;
    ASSERT_EQ(WideCharToMultiByte(1252, 0, &wide, 1, &back, 1, NULL, NULL), 1);
    EXPECT_EQ(back, ansi) << "byte " << byte;
  }
}

TEST(CodePage, UnmappableCharactersBecomeTheDefaultCharacter) {
  struct Case {
    char16_t unicode;
    const char* defaultChar;
    char expected;
  };
  const Case cases[] = {
      {0x0100, NULL, '?'},  // Latin A with macron: no best fit here
      {0x03A9, NULL, '?'},  // Greek capital omega
      {0x4E2D, NULL, '?'},  // a CJK ideograph
      {0xD83D, NULL, '?'},  // half of a surrogate pair
      {0x20AD, "#", '#'},   // next to the euro sign, with a default of our own
  };
  for (const Case& c : cases) {
    const WCHAR text[] = {u'a', static_cast<WCHAR>(c.unicode), u'b', 0};
    char out[8] = {};
    BOOL usedDefault = FALSE;
    ASSERT_EQ(
        WideCharToMultiByte(CP_ACP, 0, text, -1, out, sizeof(out), c.defaultChar, &usedDefault), 4);
    EXPECT_EQ(std::string(out), std::string("a") + c.expected + "b");
    EXPECT_TRUE(usedDefault);
  }
}

TEST(CodePage, NulTerminatedLengthsCountTheTerminator) {
  const WCHAR wide[] = L"Hub\u00e9";
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, wide, -1, NULL, 0, NULL, NULL), 5);
  char ansi[5];
  ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, wide, -1, ansi, 5, NULL, NULL), 5);
  EXPECT_STREQ(ansi, "Hub\xe9");

  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "Hub\xe9", -1, NULL, 0), 5);
  WCHAR back[5];
  ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, "Hub\xe9", -1, back, 5), 5);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(back)), u"Hub\u00e9");
}

TEST(CodePage, ExplicitLengthsConvertExactlyThatManyUnits) {
  const WCHAR wide[] = L"abcdef";
  char ansi[8] = "xxxxxxx";
  ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, wide, 3, ansi, sizeof(ansi), NULL, NULL), 3);
  EXPECT_STREQ(ansi, "abcxxxx");  // no terminator added
}

TEST(CodePage, FailuresSetTheErrorWindowsSets) {
  static const WCHAR wide[] = L"four";
  static char ansi[16];
  static WCHAR smallWide[2];
  struct Case {
    const char* what;
    std::function<int()> call;
    DWORD error;
  };
  const Case cases[] = {
      {"output too small",
       [] { return WideCharToMultiByte(CP_ACP, 0, wide, -1, ansi, 4, NULL, NULL); },
       ERROR_INSUFFICIENT_BUFFER},
      {"wide output too small",
       [] { return MultiByteToWideChar(CP_ACP, 0, "four", -1, smallWide, 2); },
       ERROR_INSUFFICIENT_BUFFER},
      {"zero input length",
       [] { return WideCharToMultiByte(CP_ACP, 0, wide, 0, ansi, 16, NULL, NULL); },
       ERROR_INVALID_PARAMETER},
      {"null input", [] { return WideCharToMultiByte(CP_ACP, 0, NULL, -1, ansi, 16, NULL, NULL); },
       ERROR_INVALID_PARAMETER},
      {"null output with a size",
       [] { return WideCharToMultiByte(CP_ACP, 0, wide, -1, NULL, 16, NULL, NULL); },
       ERROR_INVALID_PARAMETER},
      {"zero byte length", [] { return MultiByteToWideChar(CP_ACP, 0, "x", 0, smallWide, 2); },
       ERROR_INVALID_PARAMETER},
      {"unknown code page",
       [] { return WideCharToMultiByte(437, 0, wide, -1, ansi, 16, NULL, NULL); },
       ERROR_INVALID_PARAMETER},
      {"unknown flag",
       [] { return WideCharToMultiByte(CP_ACP, 0x1, wide, -1, ansi, 16, NULL, NULL); },
       ERROR_INVALID_FLAGS},
      {"unknown multi-byte flag",
       [] { return MultiByteToWideChar(CP_ACP, 0x100, "x", -1, smallWide, 2); },
       ERROR_INVALID_FLAGS},
  };
  for (const Case& c : cases) {
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(c.call(), 0) << c.what;
    EXPECT_EQ(GetLastError(), c.error) << c.what;
  }
}

}  // namespace
