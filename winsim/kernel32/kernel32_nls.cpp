// kernel32: code-page conversions. The machine's ANSI code page is
// Windows-1252: bytes 0x00-0x7F and 0xA0-0xFF are the Unicode characters of
// the same value; 0x80-0x9F hold typographic characters, and the five bytes
// that Windows-1252 leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) map to
// the C1 control characters of the same value, as Windows maps them.
#include <windows.h>

#include <array>
#include <cstdint>

namespace {

constexpr std::array<char16_t, 32> kHighControlRange = {
    u'\u20AC', u'\u0081', u'\u201A', u'\u0192', u'\u201E', u'\u2026', u'\u2020', u'\u2021',
    u'\u02C6', u'\u2030', u'\u0160', u'\u2039', u'\u0152', u'\u008D', u'\u017D', u'\u008F',
    u'\u0090', u'\u2018', u'\u2019', u'\u201C', u'\u201D', u'\u2022', u'\u2013', u'\u2014',
    u'\u02DC', u'\u2122', u'\u0161', u'\u203A', u'\u0153', u'\u009D', u'\u017E', u'\u0178',
};
constexpr unsigned kHighControlFirst = 0x80;
constexpr unsigned kHighControlEnd = 0xA0;

constexpr char kDefaultChar = '?';

constexpr DWORD kMultiByteFlags =
    MB_PRECOMPOSED | MB_COMPOSITE | MB_USEGLYPHCHARS | MB_ERR_INVALID_CHARS;
constexpr DWORD kWideCharFlags =
    WC_DISCARDNS | WC_SEPCHARS | WC_DEFAULTCHAR | WC_COMPOSITECHECK | WC_NO_BEST_FIT_CHARS;

bool IsAnsiCodePage(UINT codePage) {
  return codePage == CP_ACP || codePage == CP_THREAD_ACP || codePage == 1252;
}

char16_t AnsiToUnicode(unsigned char byte) {
  if (byte >= kHighControlFirst && byte < kHighControlEnd) {
    return kHighControlRange[byte - kHighControlFirst];
  }
  return byte;
}

// The Windows-1252 byte of a UTF-16 unit, or -1 when it has none.
int UnicodeToAnsi(char16_t unit) {
  if (unit < kHighControlFirst || (unit >= kHighControlEnd && unit <= 0xFF)) {
    return unit;
  }
  for (unsigned i = 0; i < kHighControlRange.size(); ++i) {
    if (kHighControlRange[i] == unit) {
      return static_cast<int>(kHighControlFirst + i);
    }
  }
  return -1;
}

int Fail(DWORD error) {
  SetLastError(error);
  return 0;
}

}  // namespace

extern "C" int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr,
                                          int cbMultiByte, LPWSTR lpWideCharStr, int cchWideChar) {
  if (!IsAnsiCodePage(CodePage) || lpMultiByteStr == nullptr || cbMultiByte == 0 ||
      cbMultiByte < -1 || cchWideChar < 0 ||
      (cchWideChar > 0 &&
       (lpWideCharStr == nullptr ||
        static_cast<const void*>(lpMultiByteStr) == static_cast<const void*>(lpWideCharStr)))) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if ((dwFlags & ~kMultiByteFlags) != 0) {
    return Fail(ERROR_INVALID_FLAGS);
  }
  size_t length = 0;
  if (cbMultiByte == -1) {
    while (lpMultiByteStr[length] != '\0') {
      ++length;
    }
    ++length;  // the terminating NUL is converted too
  } else {
    length = static_cast<size_t>(cbMultiByte);
  }
  if (cchWideChar == 0) {
    return static_cast<int>(length);  // one UTF-16 unit per byte
  }
  if (length > static_cast<size_t>(cchWideChar)) {
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  for (size_t i = 0; i < length; ++i) {
    lpWideCharStr[i] =
        static_cast<WCHAR>(AnsiToUnicode(static_cast<unsigned char>(lpMultiByteStr[i])));
  }
  return static_cast<int>(length);
}

extern "C" int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr,
                                          int cchWideChar, LPSTR lpMultiByteStr, int cbMultiByte,
                                          LPCCH lpDefaultChar, LPBOOL lpUsedDefaultChar) {
  if (!IsAnsiCodePage(CodePage) || lpWideCharStr == nullptr || cchWideChar == 0 ||
      cchWideChar < -1 || cbMultiByte < 0 ||
      (cbMultiByte > 0 &&
       (lpMultiByteStr == nullptr ||
        static_cast<const void*>(lpMultiByteStr) == static_cast<const void*>(lpWideCharStr)))) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if ((dwFlags & ~kWideCharFlags) != 0) {
    return Fail(ERROR_INVALID_FLAGS);
  }
  size_t length = 0;
  if (cchWideChar == -1) {
    while (lpWideCharStr[length] != 0) {
      ++length;
    }
    ++length;
  } else {
    length = static_cast<size_t>(cchWideChar);
  }
  const char defaultChar = lpDefaultChar != nullptr ? *lpDefaultChar : kDefaultChar;
  bool usedDefault = false;
  if (cbMultiByte > 0 && length > static_cast<size_t>(cbMultiByte)) {
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  for (size_t i = 0; i < length; ++i) {
    const int byte = UnicodeToAnsi(static_cast<char16_t>(lpWideCharStr[i]));
    if (byte < 0) {
      usedDefault = true;
    }
    if (cbMultiByte > 0) {
      lpMultiByteStr[i] = byte < 0 ? defaultChar : static_cast<char>(byte);
    }
  }
  if (lpUsedDefaultChar != nullptr) {
    *lpUsedDefaultChar = usedDefault ? TRUE : FALSE;
  }
  return static_cast<int>(length);
}
