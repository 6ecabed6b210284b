// Flash ROM file sorter: records into a fixed sort area, sorted by address,
// written to the temporary file "sorthex" in the Windows directory.
#include <stdlib.h>
#include <string.h>

#include "flash_image.h"
#include "record_text.h"

namespace {

const char SortFileName[] = "\\sorthex";

// A record is 2L + 11 characters before its line end; a slot holds L <= 32.
const unsigned RecordOverhead = 11;
const unsigned MaxRecordDataBytes = (HexRecordSize - RecordOverhead) / 2;

const BYTE TypeEndOfFile = 0x01;
const BYTE TypeExtendedSegment = 0x02;
const BYTE TypeStartSegment = 0x03;

unsigned RecordLength(const HexRecord& record) { return HexDigitsToByte(&record.Text[1]); }

BYTE RecordType(const HexRecord& record) { return HexDigitsToByte(&record.Text[7]); }

unsigned RecordAddress(const HexRecord& record) {
  return (static_cast<unsigned>(HexDigitsToByte(&record.Text[3])) << 8) |
         HexDigitsToByte(&record.Text[5]);
}

// Types 01, 02 and 03 sort after the data; everything else sorts by address.
int RecordRank(const HexRecord& record) {
  switch (RecordType(record)) {
    case TypeEndOfFile:
      return 3;
    case TypeExtendedSegment:
      return 2;
    case TypeStartSegment:
      return 1;
    default:
      return 0;
  }
}

// Sort key: rank above the 16-bit address; only rank-0 records order by
// address, so the others carry none.
UINT32 SortKey(const HexRecord& record) {
  const UINT32 rank = static_cast<UINT32>(RecordRank(record));
  return rank != 0 ? rank << 16 : RecordAddress(record);
}

// Checks that count characters are hex digits and adds the bytes they
// spell (count is even) to sum. Four bytes a round, then the rest; one test
// at the end instead of two branches per byte.
bool AddHexBytes(const char* text, unsigned count, BYTE& sum) {
  unsigned total = sum;
  unsigned marks = 0;  // every entry ORed: NotTwoDigits once a character is no digit
  const char* const fours = text + (count & ~7u);
  const char* const end = text + count;
  for (; text != fours; text += 8) {
    const unsigned a = HexPairs.Entry[PairIndex(text)];
    const unsigned b = HexPairs.Entry[PairIndex(text + 2)];
    const unsigned c = HexPairs.Entry[PairIndex(text + 4)];
    const unsigned d = HexPairs.Entry[PairIndex(text + 6)];
    marks |= a | b | c | d;
    total += a + b + c + d;
  }
  for (; text != end; text += 2) {
    const unsigned a = HexPairs.Entry[PairIndex(text)];
    marks |= a;
    total += a;
  }
  if ((marks & NotTwoDigits) != 0) {
    return false;
  }
  sum = static_cast<BYTE>(total);
  return true;
}

// Reads one record and its line end into a slot. False for anything that
// cannot be read as a well-formed record, without writing past the slot:
// a record mark other than ':', a character that is not a hex digit (0-9,
// A-F), more than 32 data bytes, a checksum that does not match, a line end
// other than CR LF, or an input that ends inside the record.
bool ReadRecord(TextWindow& input, HexRecord& record) {
  if (EnsureText(input, 3) < 3) {
    return false;
  }
  const char* text = input.Data + input.Start;
  BYTE sum = 0;
  if (text[0] != ':' || !AddHexBytes(text + 1, 2, sum)) {
    return false;
  }
  const unsigned length = sum;
  if (length > MaxRecordDataBytes) {
    return false;
  }
  const unsigned size = 2 * length + RecordOverhead;
  const unsigned available = EnsureText(input, size + 2);
  if (available < size) {
    return false;
  }
  text = input.Data + input.Start;
  if (!AddHexBytes(text + 3, size - 3, sum) || sum != 0) {
    return false;
  }
  // A whole slot where the window has one: a copy of fixed size is a few
  // moves, one of variable size a string instruction with a slow start.
  // The bytes past the record are unused in the slot.
  if (input.Start + HexRecordSize <= TextBufferSize) {
    memcpy(record.Text, text, HexRecordSize);
  } else {
    memcpy(record.Text, text, size);
  }
  input.Start += size;
  if (available == size) {
    // Many files end without a line end after the last record.
    return RecordType(record) == TypeEndOfFile;
  }
  if (available < size + 2 || text[size] != '\r' || text[size + 1] != '\n') {
    return false;
  }
  input.Start += 2;
  return true;
}

// Reads records until the end-of-file record; the count of records read, or
// 0 on failure (the end-of-file record itself counts, so success is >= 1).
unsigned ReadRecords(TextWindow& input, HexRecord* area) {
  unsigned count = 0;
  for (;;) {
    HexRecord& record = area[count];
    if (!ReadRecord(input, record)) {
      return 0;
    }
    ++count;
    if (count == MaxHexRecords) {
      return 0;  // the limit applies to the end-of-file record too
    }
    if (RecordType(record) == TypeEndOfFile) {
      return count;
    }
  }
}

// Writes the records in order, each followed by CR LF, up to and including
// the first end-of-file record, in blocks of the buffer's size.
bool WriteRecords(FILE* output, const HexRecord* area, const UINT16* order, unsigned count,
                  char* buffer, unsigned bufferSize) {
  unsigned used = 0;
  for (unsigned i = 0; i < count; ++i) {
    const HexRecord& record = area[order[i]];
    const unsigned size = 2 * RecordLength(record) + RecordOverhead;
    // Room for a whole slot: it is copied whole (see ReadRecord), and the
    // line end and the next record overwrite what lies past the record.
    if (used + HexRecordSize + 2 > bufferSize) {
      if (fwrite(buffer, 1, used, output) != used) {
        return false;
      }
      used = 0;
    }
    memcpy(buffer + used, record.Text, HexRecordSize);
    buffer[used + size] = '\r';
    buffer[used + size + 1] = '\n';
    used += size + 2;
    if (RecordType(record) == TypeEndOfFile) {
      break;
    }
  }
  return fwrite(buffer, 1, used, output) == used;
}

}  // namespace

BYTE HexPairToByte(char high, char low) {
  const char pair[2] = {high, low};
  return HexDigitsToByte(pair);
}

int CompareHexRecords(const void* a, const void* b) {
  const UINT32 left = SortKey(*static_cast<const HexRecord*>(a));
  const UINT32 right = SortKey(*static_cast<const HexRecord*>(b));
  if (left == right) {
    return 0;
  }
  return left < right ? -1 : 1;
}

BOOL GetSortFilePath(char (&path)[MAX_PATH]) {
  const UINT length = GetWindowsDirectoryA(path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    return FALSE;
  }
  if (length + sizeof(SortFileName) > MAX_PATH) {
    return FALSE;
  }
  memcpy(path + length, SortFileName, sizeof(SortFileName));
  return TRUE;
}

// A stable radix sort over the bytes of SortKey: three passes over the
// records instead of some 20,000 comparisons for a full sort area.
void OrderHexRecords(const HexRecord* area, unsigned count, UINT16* order) {
  UINT32 keys[MaxHexRecords];
  UINT16 spare[MaxHexRecords];
  for (unsigned i = 0; i < count; ++i) {
    keys[i] = SortKey(area[i]);
    spare[i] = static_cast<UINT16>(i);
  }
  UINT16* from = spare;
  UINT16* to = order;
  for (unsigned shift = 0; shift < 24; shift += 8) {
    unsigned starts[257] = {};
    for (unsigned i = 0; i < count; ++i) {
      ++starts[((keys[from[i]] >> shift) & 0xFF) + 1];
    }
    for (unsigned digit = 1; digit < 257; ++digit) {
      starts[digit] += starts[digit - 1];
    }
    for (unsigned i = 0; i < count; ++i) {
      to[starts[(keys[from[i]] >> shift) & 0xFF]++] = from[i];
    }
    UINT16* const swap = from;
    from = to;
    to = swap;
  }
  // An odd number of passes: the last one wrote to order.
}

FILE* SortFlashFile(FILE* input) {
  HexRecord area[MaxHexRecords];
  TextWindow window;
  OpenTextWindow(window, input);
  const unsigned count = ReadRecords(window, area);
  fclose(input);
  if (count == 0) {
    return NULL;
  }

  UINT16 order[MaxHexRecords];
  OrderHexRecords(area, count, order);

  char path[MAX_PATH];
  if (!GetSortFilePath(path)) {
    return NULL;
  }
  FILE* output = fopen(path, "wb");
  if (output == NULL) {
    return NULL;
  }
  setvbuf(output, NULL, _IONBF, 0);  // written in blocks of TextBufferSize
  // The input is done with: its buffer takes the output.
  bool written = WriteRecords(output, area, order, count, window.Data, TextBufferSize);
  if (fclose(output) != 0) {
    written = false;
  }
  FILE* sorted = written ? fopen(path, "rb") : NULL;
  if (sorted == NULL) {
    remove(path);
  }
  return sorted;
}
