// Firmware image: the Flash ROM file (Intel HEX) sorted by address through a
// temporary file and laid out as a chain of 256-byte blocks from address 0.
//
// Called on the dialog's thread only. The temporary file "sorthex" in the
// Windows directory has one fixed name: one sort at a time.
#pragma once

#include <stdio.h>
#include <windows.h>

// One record of the Flash ROM file, mark through checksum, as read.
constexpr unsigned HexRecordSize = 75;
// Slots of the sort area. A file may hold at most MaxHexRecords - 1 records,
// the end-of-file record included.
constexpr unsigned MaxHexRecords = 2000;
// Bytes of one image block.
constexpr unsigned FlashBlockSize = 256;
// Largest image the download header can announce (a length of 0 means this).
constexpr unsigned MaxFlashImageLength = 65536;

struct HexRecord {
  char Text[HexRecordSize];  // no terminator; bytes after the record are unused
};

struct FlashBlock {
  UINT32 FillCount;     // bytes in use: 256 in every block but the last
  UINT32 StartAddress;  // image address of Data[0]
  BYTE Data[FlashBlockSize];
  FlashBlock* Next;  // null for the last block
};

// Head of a block chain; owned by whoever holds it, freed with FreeFlashImage.
typedef FlashBlock* FlashImage;

// Reads the records of an input opened "rb" (CR LF line ends) into the sort
// area, sorts them and writes them to the temporary file. Returns that file
// opened "rb", or null on failure (too many records, no end-of-file record,
// a malformed record, a record of more than 32 data bytes, a temporary file
// that cannot be written). Always closes the input. On success the caller
// closes the result and removes the temporary file; on failure none is left.
FILE* SortFlashFile(FILE* input);

// Two hex characters to a byte: 0-9 and A-F are digits, any other character
// enters the arithmetic with its own code (1 and a give 0x71).
BYTE HexPairToByte(char high, char low);

// qsort comparator over HexRecord slots: data records by address, then start
// addresses (03), extended segment addresses (02), the end-of-file record.
int CompareHexRecords(const void* a, const void* b);

// The sorted order of slots 0 to count - 1 (count <= MaxHexRecords), as slot
// numbers into order[0..count-1]: the order of CompareHexRecords, records of
// equal keys in slot order. The slots are not moved.
void OrderHexRecords(const HexRecord* area, unsigned count, UINT16* order);

// Builds the image of a Flash ROM file; null on failure. The temporary file
// is removed in every outcome.
FlashImage BuildFlashImage(const char* path);

// Reads two characters from the stream and returns the byte they spell.
BYTE ReadHexByte(FILE* stream);

// Frees every block of the chain and sets the head to null.
void FreeFlashImage(FlashImage& image);

// Builds "<Windows directory>\sorthex" into path. FALSE if it does not fit.
BOOL GetSortFilePath(char (&path)[MAX_PATH]);
