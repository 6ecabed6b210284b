#include "record_text.h"

#include <string.h>

namespace {

constexpr BYTE NotHexDigit = 0xFF;

// What a character adds to a byte: 0-15 for 0-9 and A-F, its own code for
// every other character; and its value, NotHexDigit for those others.
struct HexDigitTables {
  BYTE Rule[256];
  BYTE Value[256];
};

constexpr HexDigitTables MakeHexDigitTables() {
  HexDigitTables tables = {};
  for (unsigned c = 0; c < 256; ++c) {
    BYTE value = NotHexDigit;
    if (c >= '0' && c <= '9') {
      value = static_cast<BYTE>(c - '0');
    } else if (c >= 'A' && c <= 'F') {
      value = static_cast<BYTE>(c - 'A' + 10);
    }
    tables.Value[c] = value;
    tables.Rule[c] = value != NotHexDigit ? value : static_cast<BYTE>(c);
  }
  return tables;
}

constexpr HexPairTable MakeHexPairTable() {
  constexpr HexDigitTables digits = MakeHexDigitTables();
  HexPairTable pairs = {};
  for (unsigned high = 0; high < 256; ++high) {
    for (unsigned low = 0; low < 256; ++low) {
      const BYTE byte = static_cast<BYTE>(digits.Rule[high] * 16 + digits.Rule[low]);
      const bool twoDigits = digits.Value[high] != NotHexDigit && digits.Value[low] != NotHexDigit;
      pairs.Entry[high | low << 8] = static_cast<UINT16>(byte | (twoDigits ? 0 : NotTwoDigits));
    }
  }
  return pairs;
}

}  // namespace

constinit const HexPairTable HexPairs = MakeHexPairTable();

void OpenTextWindow(TextWindow& window, FILE* stream) {
  window.Stream = stream;
  window.Start = 0;
  window.End = 0;
  window.Ended = false;
}

unsigned RefillText(TextWindow& window, unsigned count) {
  const unsigned available = window.End - window.Start;
  memmove(window.Data, window.Data + window.Start, available);
  window.Start = 0;
  window.End = available;
  while (window.End < count && !window.Ended) {
    const size_t read =
        fread(window.Data + window.End, 1, TextBufferSize - window.End, window.Stream);
    if (read == 0) {
      window.Ended = true;
    }
    window.End += static_cast<unsigned>(read);
  }
  return window.End - window.Start;
}
