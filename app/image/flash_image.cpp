// Flash image builder: the sorted records laid out from address 0 in a chain
// of 256-byte blocks, holes filled with 0x00.
#include <stdlib.h>

#include "flash_image.h"

namespace {

enum RecordOutcome { RecordPlaced, ImageEnded, ImageRefused };

FlashBlock* AllocateBlock(UINT32 startAddress) {
  FlashBlock* block = static_cast<FlashBlock*>(malloc(sizeof(FlashBlock)));
  if (block != NULL) {
    block->FillCount = 0;
    block->StartAddress = startAddress;
    block->Next = NULL;
  }
  return block;
}

UINT32 ImageEnd(const FlashBlock* current) { return current->StartAddress + current->FillCount; }

// Appends one byte at the end of the image, chaining a new block as soon as
// the current one is full. False when the image would outgrow what the
// header can announce or a block cannot be allocated.
bool AppendByte(FlashBlock*& current, BYTE value) {
  if (ImageEnd(current) >= MaxFlashImageLength) {
    return false;
  }
  current->Data[current->FillCount++] = value;
  if (current->FillCount == FlashBlockSize) {
    FlashBlock* next = AllocateBlock(current->StartAddress + FlashBlockSize);
    if (next == NULL) {
      return false;
    }
    current->Next = next;
    current = next;
  }
  return true;
}

// The checksum (never verified here: the sorter did) and the line end.
void SkipRecordEnd(FILE* sorted) {
  ReadHexByte(sorted);
  getc(sorted);
  getc(sorted);
}

void SkipData(FILE* sorted, unsigned length) {
  for (unsigned i = 0; i < length; ++i) {
    ReadHexByte(sorted);
  }
}

RecordOutcome PlaceDataRecord(FILE* sorted, FlashBlock*& current, unsigned length, UINT32 address) {
  const UINT32 position = ImageEnd(current);
  if (address < position) {
    if (length != 0) {
      return ImageRefused;  // overlapping data would land at the wrong address
    }
    SkipRecordEnd(sorted);
    return RecordPlaced;
  }
  for (UINT32 gap = address - position; gap > 0; --gap) {
    if (!AppendByte(current, 0x00)) {
      return ImageRefused;
    }
  }
  for (unsigned i = 0; i < length; ++i) {
    if (!AppendByte(current, ReadHexByte(sorted))) {
      return ImageRefused;
    }
  }
  SkipRecordEnd(sorted);
  return RecordPlaced;
}

// Extended address records (02, 04) can only be honoured when they change
// nothing for a 16-bit image.
RecordOutcome SkipZeroAddressRecord(FILE* sorted, unsigned length) {
  if (length != 2) {
    return ImageRefused;
  }
  const BYTE high = ReadHexByte(sorted);
  const BYTE low = ReadHexByte(sorted);
  if (high != 0 || low != 0) {
    return ImageRefused;
  }
  SkipRecordEnd(sorted);
  return RecordPlaced;
}

RecordOutcome PlaceRecord(FILE* sorted, FlashBlock*& current) {
  if (getc(sorted) != ':') {
    return ImageRefused;  // the sorted file always ends with an end-of-file record
  }
  const unsigned length = ReadHexByte(sorted);
  const UINT32 address = static_cast<UINT32>(ReadHexByte(sorted)) * 256 + ReadHexByte(sorted);
  const BYTE type = ReadHexByte(sorted);
  switch (type) {
    case 0x00:
      return PlaceDataRecord(sorted, current, length, address);
    case 0x01:
      return ImageEnded;
    case 0x02:
    case 0x04:
      return SkipZeroAddressRecord(sorted, length);
    case 0x03:
    case 0x05:
      SkipData(sorted, length);  // start addresses carry no image bytes
      SkipRecordEnd(sorted);
      return RecordPlaced;
    default:
      return ImageRefused;
  }
}

void RemoveSortFile() {
  char path[MAX_PATH];
  if (GetSortFilePath(path)) {
    remove(path);
  }
}

}  // namespace

BYTE ReadHexByte(FILE* stream) {
  const int high = getc(stream);
  const int low = getc(stream);
  return HexPairToByte(static_cast<char>(high), static_cast<char>(low));
}

FlashImage BuildFlashImage(const char* path) {
  FILE* input = fopen(path, "rb");
  if (input == NULL) {
    return NULL;
  }
  FILE* sorted = SortFlashFile(input);
  if (sorted == NULL) {
    return NULL;
  }

  FlashImage head = AllocateBlock(0);
  RecordOutcome outcome = head != NULL ? RecordPlaced : ImageRefused;
  FlashBlock* current = head;
  while (outcome == RecordPlaced) {
    outcome = PlaceRecord(sorted, current);
  }

  fclose(sorted);
  RemoveSortFile();
  if (outcome != ImageEnded) {
    FreeFlashImage(head);
  }
  return head;
}

void FreeFlashImage(FlashImage& image) {
  FlashBlock* block = image;
  while (block != NULL) {
    FlashBlock* next = block->Next;
    free(block);
    block = next;
  }
  image = NULL;
}
