// The host build's compiled quillprog.res and the window styles its
// templates use, for the resource tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <string>

#include "resources/resource_file.h"

namespace resource_testing {

// quillprog.res, read once.
const winsim::ResourceFile& ProgramResources();

// The data of a resource of quillprog.res; fails the test when it is missing.
std::span<const uint8_t> ProgramResource(const winsim::ResourceName& type,
                                         const winsim::ResourceName& name);

std::string Narrow(std::u16string_view text);

// Window, dialog and control styles (winuser.h, commctrl.h).
constexpr uint32_t kWsPopup = 0x80000000;
constexpr uint32_t kWsChild = 0x40000000;
constexpr uint32_t kWsVisible = 0x10000000;
constexpr uint32_t kWsCaption = 0x00C00000;
constexpr uint32_t kWsBorder = 0x00800000;
constexpr uint32_t kWsVScroll = 0x00200000;
constexpr uint32_t kWsSysMenu = 0x00080000;
constexpr uint32_t kWsGroup = 0x00020000;
constexpr uint32_t kWsTabStop = 0x00010000;
constexpr uint32_t kWsExAppWindow = 0x00040000;
constexpr uint32_t kDsModalFrame = 0x80;
constexpr uint32_t kDsSetFont = 0x40;
constexpr uint32_t kBsPushButton = 0x0;
constexpr uint32_t kBsDefPushButton = 0x1;
constexpr uint32_t kCbsDropDownList = 0x3;
constexpr uint32_t kCbsNoIntegralHeight = 0x400;
constexpr uint32_t kEsAutoHScroll = 0x80;
constexpr uint32_t kSsLeft = 0x0;
constexpr uint32_t kSsCenter = 0x1;
constexpr uint32_t kSsIcon = 0x3;
constexpr uint32_t kSsNoPrefix = 0x80;
constexpr uint32_t kSsCenterImage = 0x200;
constexpr uint32_t kAcsCenter = 0x1;

}  // namespace resource_testing
