// The update-mode trigger: a GET_DESCRIPTOR request for configuration
// descriptor 0x55, sent through the device's parent hub. A device that takes
// the signal leaves the bus without answering and comes back in update mode.
//
// Called on the dialog's thread by the Program handler, with the dialog
// busy. The hub handle belongs to the device table; it is neither opened
// nor closed here.
#pragma once

#include <windows.h>

constexpr UCHAR TriggerDescriptorIndex = 0x55;
// The trigger holds only when this many requests in a row fail with
// ERROR_GEN_FAILURE or ERROR_CRC.
constexpr ULONG TriggerAttempts = 10;

// Triggers the device in a slot of the device table: 0 = triggered,
// 1 = failed (also for a slot the last walk did not fill).
ULONG TriggerUpdateMode(ULONG slot);

// Sizes the trigger by configuration descriptor descriptorIndex (its low 8
// bits) of the device on the hub's port, then sends the trigger request.
// 0 = triggered, 1 = failed: the header request failed or did not answer 9
// bytes, wTotalLength is below 9, no buffer, the device answered the trigger,
// or a trigger request failed with another error.
ULONG SendTriggerRequest(HANDLE hub, ULONG port, ULONG descriptorIndex);
