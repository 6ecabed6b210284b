// The device-level download format: what the download worker sends and how
// its progress is measured. One place for the worker and the tools.
#pragma once

#include <windows.h>
#include <winioctl.h>

#include "quillfw_public.h"

#include "flash_image.h"

// The header command: 0xEE, 0x00, 0x00, length high, length low.
constexpr unsigned HeaderCommandSize = 5;
constexpr BYTE HeaderCommandCode = 0xEE;

// A TransferRequest is a u32 count, the payload, then at least 4 reserved
// bytes: its input length must be at least count + 8.
constexpr unsigned TransferRequestOverhead = sizeof(TransferRequest);
constexpr unsigned HeaderRequestSize = HeaderCommandSize + TransferRequestOverhead;  // 13
constexpr unsigned BlockRequestSize = FlashBlockSize + TransferRequestOverhead;      // 264

// Firmware length: the last block's start address plus its fill count.
// 0 for no image.
UINT32 FlashImageLength(FlashImage image);

// Number of blocks in the chain (one block request each).
UINT32 FlashImageBlockCount(FlashImage image);

// The progress bar's range for a firmware length. Not the number of block
// requests: the bar stops at its maximum.
UINT32 DownloadProgressRange(UINT32 length);

// Fills the 5-byte header command; the length is sent modulo 65,536.
void BuildHeaderCommand(UINT32 length, BYTE (&header)[HeaderCommandSize]);
