// Shared by the sorter and the image builder: the Flash ROM file's hex digits
// and a block-buffered view of a stream, so that records are parsed from
// memory instead of one runtime-library call per character.
#pragma once

#include <stdio.h>
#include <windows.h>

// Two characters read as one 16-bit number, the first in the low byte.
inline unsigned CharCode(char c) { return static_cast<unsigned char>(c); }
inline unsigned PairIndex(const char* text) { return CharCode(text[0]) | CharCode(text[1]) << 8; }

// Set in a HexPairs entry when either character is not 0-9 or A-F.
constexpr UINT16 NotTwoDigits = 0x100;

// For every two characters (indexed by PairIndex): the byte they spell by
// HexPairToByte's rule (0-9 and A-F are digits, any other character enters
// the arithmetic with its own code), plus NotTwoDigits unless both are
// digits. One lookup per byte, where two per character would need a test
// for each.
struct HexPairTable {
  UINT16 Entry[65536];
};
extern const HexPairTable HexPairs;

// HexPairToByte of text[0] and text[1].
inline BYTE HexDigitsToByte(const char* text) {
  return static_cast<BYTE>(HexPairs.Entry[PairIndex(text)]);
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

// EnsureText when the window holds fewer than count characters.
unsigned RefillText(TextWindow& window, unsigned count);

// Makes count (at most TextBufferSize) characters available from
// Data + Start, reading on as needed. Returns how many are available: fewer
// than count only when the stream has ended. Inline: it is asked for every
// record, and the window nearly always holds them.
inline unsigned EnsureText(TextWindow& window, unsigned count) {
  const unsigned available = window.End - window.Start;
  if (available >= count || window.Ended) {
    return available;
  }
  return RefillText(window, count);
}
