// Flash image builder: the sorted records laid out from address 0 in a chain
// of 256-byte blocks, holes filled with 0x00.
#include <stdlib.h>
#include <string.h>

#include "flash_image.h"
#include "record_text.h"

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

// ':', length, address and type; data, checksum and line end follow.
const unsigned RecordHeaderSize = 9;
const unsigned RecordOverhead = 11;
const unsigned LineEndSize = 2;

// Appends count bytes at the end of the image: zeros when hexText is null,
// else the bytes its 2 * count hex digits spell. A new block is chained as
// soon as the current one is full. False when the image would outgrow what
// the header can announce or a block cannot be allocated.
bool AppendBytes(FlashBlock*& current, const char* hexText, UINT32 count) {
  if (count > MaxFlashImageLength - ImageEnd(current)) {
    return false;
  }
  while (count > 0) {
    const UINT32 room = FlashBlockSize - current->FillCount;
    const UINT32 taken = count < room ? count : room;
    BYTE* out = current->Data + current->FillCount;
    if (hexText == NULL) {
      memset(out, 0x00, taken);
    } else {
      // Four at a time, then the rest.
      const BYTE* const fours = out + (taken & ~3u);
      const BYTE* const end = out + taken;
      for (; out != fours; out += 4, hexText += 8) {
        out[0] = HexDigitsToByte(hexText);
        out[1] = HexDigitsToByte(hexText + 2);
        out[2] = HexDigitsToByte(hexText + 4);
        out[3] = HexDigitsToByte(hexText + 6);
      }
      for (; out != end; ++out, hexText += 2) {
        *out = HexDigitsToByte(hexText);
      }
    }
    current->FillCount += taken;
    count -= taken;
    if (current->FillCount == FlashBlockSize) {
      FlashBlock* next = AllocateBlock(current->StartAddress + FlashBlockSize);
      if (next == NULL) {
        return false;
      }
      current->Next = next;
      current = next;
    }
  }
  return true;
}

RecordOutcome PlaceDataRecord(const char* text, FlashBlock*& current, unsigned length,
                              UINT32 address) {
  const UINT32 position = ImageEnd(current);
  if (address < position) {
    // Overlapping data would land at the wrong address; an empty record
    // below the end changes nothing.
    return length == 0 ? RecordPlaced : ImageRefused;
  }
  if (!AppendBytes(current, NULL, address - position) ||
      !AppendBytes(current, text + RecordHeaderSize, length)) {
    return ImageRefused;
  }
  return RecordPlaced;
}

// Extended address records (02, 04) can only be honoured when they change
// nothing for a 16-bit image.
RecordOutcome SkipZeroAddressRecord(const char* text, unsigned length) {
  if (length != 2) {
    return ImageRefused;
  }
  const BYTE high = HexDigitsToByte(text + RecordHeaderSize);
  const BYTE low = HexDigitsToByte(text + RecordHeaderSize + 2);
  return high == 0 && low == 0 ? RecordPlaced : ImageRefused;
}

RecordOutcome PlaceRecord(TextWindow& sorted, FlashBlock*& current) {
  if (EnsureText(sorted, RecordHeaderSize) < RecordHeaderSize) {
    return ImageRefused;  // the sorted file always ends with an end-of-file record
  }
  const char* text = sorted.Data + sorted.Start;
  if (text[0] != ':') {
    return ImageRefused;
  }
  const unsigned length = HexDigitsToByte(text + 1);
  const UINT32 address =
      static_cast<UINT32>(HexDigitsToByte(text + 3)) * 256 + HexDigitsToByte(text + 5);
  const BYTE type = HexDigitsToByte(text + 7);
  if (type == 0x01) {
    return ImageEnded;
  }
  // Every line of the sorted file, the last included, ends in CR LF.
  const unsigned lineSize = 2 * length + RecordOverhead + LineEndSize;
  if (EnsureText(sorted, lineSize) < lineSize) {
    return ImageRefused;
  }
  text = sorted.Data + sorted.Start;
  sorted.Start += lineSize;
  switch (type) {
    case 0x00:
      return PlaceDataRecord(text, current, length, address);
    case 0x02:
    case 0x04:
      return SkipZeroAddressRecord(text, length);
    case 0x03:
    case 0x05:
      return RecordPlaced;  // start addresses carry no image bytes
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
  // Both files are read in blocks of TextBufferSize: a buffer of the
  // runtime's own would only copy the text once more.
  setvbuf(input, NULL, _IONBF, 0);
  FILE* sorted = SortFlashFile(input);
  if (sorted == NULL) {
    return NULL;
  }
  setvbuf(sorted, NULL, _IONBF, 0);

  TextWindow window;
  OpenTextWindow(window, sorted);
  FlashImage head = AllocateBlock(0);
  RecordOutcome outcome = head != NULL ? RecordPlaced : ImageRefused;
  FlashBlock* current = head;
  while (outcome == RecordPlaced) {
    outcome = PlaceRecord(window, current);
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
