// Flash ROM file sorter: records into a fixed sort area, sorted by address,
// written to the temporary file "sorthex" in the Windows directory.
#include <stdlib.h>
#include <string.h>

#include "flash_image.h"

namespace {

const char SortFileName[] = "\\sorthex";

// A record is 2L + 11 characters before its line end; a slot holds L <= 32.
const unsigned RecordOverhead = 11;
const unsigned MaxRecordDataBytes = (HexRecordSize - RecordOverhead) / 2;

const BYTE TypeEndOfFile = 0x01;
const BYTE TypeExtendedSegment = 0x02;
const BYTE TypeStartSegment = 0x03;

bool IsHexDigit(int c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

unsigned RecordLength(const HexRecord& record) {
  return HexPairToByte(record.Text[1], record.Text[2]);
}

BYTE RecordType(const HexRecord& record) { return HexPairToByte(record.Text[7], record.Text[8]); }

unsigned RecordAddress(const HexRecord& record) {
  return (static_cast<unsigned>(HexPairToByte(record.Text[3], record.Text[4])) << 8) |
         HexPairToByte(record.Text[5], record.Text[6]);
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

// Reads count characters that must all be hex digits (end of input fails).
bool ReadHexDigits(FILE* input, char* text, unsigned count) {
  for (unsigned i = 0; i < count; ++i) {
    const int c = getc(input);
    if (!IsHexDigit(c)) {
      return false;
    }
    text[i] = static_cast<char>(c);
  }
  return true;
}

// The bytes of a record, checksum included, add up to 0 modulo 256.
bool ChecksumMatches(const HexRecord& record, unsigned length) {
  BYTE sum = 0;
  for (unsigned pos = 1; pos < 2 * length + RecordOverhead; pos += 2) {
    sum = static_cast<BYTE>(sum + HexPairToByte(record.Text[pos], record.Text[pos + 1]));
  }
  return sum == 0;
}

// Reads one record and its line end into a slot. False for anything that
// cannot be read as a well-formed record, without writing past the slot.
bool ReadRecord(FILE* input, HexRecord& record) {
  if (getc(input) != ':') {
    return false;
  }
  record.Text[0] = ':';
  if (!ReadHexDigits(input, &record.Text[1], 2)) {
    return false;
  }
  const unsigned length = RecordLength(record);
  if (length > MaxRecordDataBytes) {
    return false;
  }
  if (!ReadHexDigits(input, &record.Text[3], 2 * length + 8)) {
    return false;
  }
  if (!ChecksumMatches(record, length)) {
    return false;
  }
  const int first = getc(input);
  if (first == EOF && RecordType(record) == TypeEndOfFile) {
    return true;  // many files end without a line end after the last record
  }
  return first == '\r' && getc(input) == '\n';
}

// Reads records until the end-of-file record; the count of records read, or
// 0 on failure (the end-of-file record itself counts, so success is >= 1).
unsigned ReadRecords(FILE* input, HexRecord* area) {
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

bool WriteRecords(FILE* output, const HexRecord* area, unsigned count) {
  for (unsigned i = 0; i < count; ++i) {
    const HexRecord& record = area[i];
    const unsigned size = 2 * RecordLength(record) + RecordOverhead;
    for (unsigned pos = 0; pos < size; ++pos) {
      if (putc(record.Text[pos], output) == EOF) {
        return false;
      }
    }
    if (putc('\r', output) == EOF || putc('\n', output) == EOF) {
      return false;
    }
    if (RecordType(record) == TypeEndOfFile) {
      break;
    }
  }
  return true;
}

}  // namespace

BYTE HexPairToByte(char high, char low) {
  const auto digit = [](char c) -> unsigned {
    const unsigned code = static_cast<unsigned char>(c);
    if (c >= '0' && c <= '9') {
      return code - 48;
    }
    if (c >= 'A' && c <= 'F') {
      return code - 55;
    }
    return code;
  };
  return static_cast<BYTE>((digit(high) * 16 + digit(low)) & 0xFF);
}

int CompareHexRecords(const void* a, const void* b) {
  const HexRecord& left = *static_cast<const HexRecord*>(a);
  const HexRecord& right = *static_cast<const HexRecord*>(b);
  const int leftRank = RecordRank(left);
  const int rightRank = RecordRank(right);
  if (leftRank != rightRank) {
    return leftRank < rightRank ? -1 : 1;
  }
  if (leftRank != 0) {
    return 0;
  }
  const unsigned leftAddress = RecordAddress(left);
  const unsigned rightAddress = RecordAddress(right);
  if (leftAddress == rightAddress) {
    return 0;
  }
  return leftAddress < rightAddress ? -1 : 1;
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

FILE* SortFlashFile(FILE* input) {
  HexRecord area[MaxHexRecords];
  const unsigned count = ReadRecords(input, area);
  fclose(input);
  if (count == 0) {
    return NULL;
  }

  qsort(area, count, sizeof(HexRecord), CompareHexRecords);

  char path[MAX_PATH];
  if (!GetSortFilePath(path)) {
    return NULL;
  }
  FILE* output = fopen(path, "wb");
  if (output == NULL) {
    return NULL;
  }
  bool written = WriteRecords(output, area, count);
  if (fclose(output) != 0) {
    written = false;
  }
  FILE* sorted = written ? fopen(path, "rb") : NULL;
  if (sorted == NULL) {
    remove(path);
  }
  return sorted;
}
