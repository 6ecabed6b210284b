#include "download_format.h"

UINT32 FlashImageLength(FlashImage image) {
  if (image == NULL) {
    return 0;
  }
  const FlashBlock* block = image;
  while (block->Next != NULL) {
    block = block->Next;
  }
  return block->StartAddress + block->FillCount;
}

UINT32 FlashImageBlockCount(FlashImage image) {
  UINT32 count = 0;
  for (const FlashBlock* block = image; block != NULL; block = block->Next) {
    ++count;
  }
  return count;
}

UINT32 DownloadProgressRange(UINT32 length) {
  return ((length >> 8) & 0xFE) + ((length & 0x1FF) != 0 ? 1 : 0);
}

void BuildHeaderCommand(UINT32 length, BYTE (&header)[HeaderCommandSize]) {
  header[0] = HeaderCommandCode;
  header[1] = 0x00;
  header[2] = 0x00;
  header[3] = static_cast<BYTE>((length >> 8) & 0xFF);
  header[4] = static_cast<BYTE>(length & 0xFF);
}
