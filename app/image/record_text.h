// Shared by the sorter and the image builder: the Flash ROM file's hex digits
// and a block-buffered view of a stream, so that records are parsed from
// memory instead of one runtime-library call per character.
#pragma once

#include <stdio.h>
#include <string.h>
#include <windows.h>

constexpr BYTE NotHexDigit = 0xFF;

// Indexed by a character's code (as unsigned char).
struct HexDigitTables {
  // What the character adds to a byte (HexPairToByte): 0-15 for 0-9 and A-F,
  // its own code for every other character.
  BYTE Rule[256];
  // 0-15 for 0-9 and A-F, NotHexDigit for anything else.
  BYTE Value[256];
};
extern const HexDigitTables HexDigits;

inline unsigned CharCode(char c) { return static_cast<unsigned char>(c); }

// HexPairToByte of text[0] and text[1].
inline BYTE HexDigitsToByte(const char* text) {
  return static_cast<BYTE>(HexDigits.Rule[CharCode(text[0])] * 16 +
                           HexDigits.Rule[CharCode(text[1])]);
}

// Eight characters at once, as one little-endian word (text[0] in the low
// byte; every Windows target is little-endian): each byte of nibbles is the
// value of its character. Returns 0 when all eight are 0-9 or A-F, else
// nonzero (nibbles is then meaningless); callers OR the results of a run of
// words and test once.
inline UINT64 HexNibbles8(const char* text, UINT64& nibbles) {
  const UINT64 ones = 0x0101010101010101ULL;
  const UINT64 tops = ones * 0x80;
  UINT64 word;
  memcpy(&word, text, sizeof word);
  // A character's top bit in (word + 0x80 - X) says it is X or above. Only
  // a character of 0x80 or more carries into the next one, and it is never
  // taken for a digit itself, so the result is nonzero all the same.
  const UINT64 digits = (word + ones * (0x80 - '0')) & ~(word + ones * (0x80 - '9' - 1));
  const UINT64 letters = (word + ones * (0x80 - 'A')) & ~(word + ones * (0x80 - 'F' - 1));
  nibbles = (word & ones * 0x0F) + ((letters & tops) >> 7) * 9;
  return ~(digits | letters) & tops;
}

// The four bytes that eight nibbles spell, each in the low byte of a 16-bit
// lane (the first byte in the lowest lane).
inline UINT64 NibblePairs(UINT64 nibbles) {
  const UINT64 lowBytes = 0x00FF00FF00FF00FFULL;
  return ((nibbles & lowBytes) << 4) | ((nibbles >> 8) & lowBytes);
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
