// Shared by the sorter and the image builder: the Flash ROM file's hex digits
// and a block-buffered view of a stream, so that records are parsed from
// memory instead of one runtime-library call per character.
#pragma once

#include <stdio.h>
#include <windows.h>

constexpr BYTE NotHexDigit = 0xFF;

// Indexed by a character's code (as unsigned char).
struct HexDigitTables {
  // What the character adds to a byte (HexPairToByte): 0-15 for 0-9 and A-F,
  // its own code for every other character.
  BYTE Rule[256];
  // Rule times 16, modulo 256: what the character adds as the high digit.
  BYTE RuleHigh[256];
  // 0-15 for 0-9 and A-F, NotHexDigit for anything else.
  BYTE Value[256];
  // A digit's value times 16 and its value, NotADigit for anything else:
  // CheckedHigh[a] + CheckedLow[b] is the byte the pair spells, or has a
  // bit of NotADigit * 3 set.
  UINT16 CheckedHigh[256];
  UINT16 CheckedLow[256];
};
constexpr UINT16 NotADigit = 0x100;
extern const HexDigitTables HexDigits;

inline unsigned CharCode(char c) { return static_cast<unsigned char>(c); }

// HexPairToByte of text[0] and text[1].
inline BYTE HexDigitsToByte(const char* text) {
  return static_cast<BYTE>(HexDigits.RuleHigh[CharCode(text[0])] +
                           HexDigits.Rule[CharCode(text[1])]);
}

// Large enough for any record with its line end many times over; held on
// the caller's stack.
constexpr unsigned TextBufferSize = 16384;

struct TextWindow {
  FILE* Stream;
  unsigned Start;  // first character not yet taken
  unsigned End;    // one past the last character read
  bool Ended;      // the stream gave all it had (end of file or a read error)
  char Data[TextBufferSize];
};

void OpenTextWindow(TextWindow& window, FILE* stream);

// Makes count (at most TextBufferSize) characters available from
// Data + Start, reading on as needed. Returns how many are available: fewer
// than count only when the stream has ended.
unsigned EnsureText(TextWindow& window, unsigned count);
