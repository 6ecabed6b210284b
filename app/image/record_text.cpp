#include "record_text.h"

#include <string.h>

namespace {

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
    tables.RuleHigh[c] = static_cast<BYTE>(tables.Rule[c] * 16);
    tables.CheckedHigh[c] = value != NotHexDigit ? static_cast<UINT16>(value * 16) : NotADigit;
    tables.CheckedLow[c] = value != NotHexDigit ? value : NotADigit;
  }
  return tables;
}

}  // namespace

constinit const HexDigitTables HexDigits = MakeHexDigitTables();

void OpenTextWindow(TextWindow& window, FILE* stream) {
  window.Stream = stream;
  window.Start = 0;
  window.End = 0;
  window.Ended = false;
}

unsigned EnsureText(TextWindow& window, unsigned count) {
  unsigned available = window.End - window.Start;
  if (available >= count || window.Ended) {
    return available;
  }
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
