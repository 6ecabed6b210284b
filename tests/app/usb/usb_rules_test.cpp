// The walk's rules for hub answers and walked controllers, with no system
// behind them: hostile lengths and unterminated names stay inside their
// buffers, and the controller record never grows past its capacity.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "controller_record.h"
#include "name_answer.h"

namespace {

// Root hub and host-controller names: 4-byte ActualLength, name at byte 4,
// fixed part 6 bytes. Port names: index and length, name at byte 8, 10 bytes.
constexpr ULONG ControllerNameFixedSize = 6;
constexpr ULONG PortNameFixedSize = 10;

TEST(NameAnswer, FetchLengthRefusesShortAnswersAndCapsLongOnes) {
  const struct {
    ULONG actualLength;
    ULONG fixedSize;
    ULONG fetch;
  } cases[] = {
      {0, ControllerNameFixedSize, 0},
      {6, ControllerNameFixedSize, 0},
      {7, ControllerNameFixedSize, 7},
      {10, ControllerNameFixedSize, 10},
      {10, PortNameFixedSize, 0},
      {11, PortNameFixedSize, 11},
      {MaxNameAnswerLength, PortNameFixedSize, MaxNameAnswerLength},
      {MaxNameAnswerLength + 1, PortNameFixedSize, MaxNameAnswerLength},
      {0xFFFFFFFF, ControllerNameFixedSize, MaxNameAnswerLength},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(NameAnswerFetchLength(c.actualLength, c.fixedSize), c.fetch)
        << c.actualLength << " on " << c.fixedSize;
  }
}

TEST(NameAnswer, UnterminatedNameEndsInsideItsBuffer) {
  constexpr BYTE Guard = 0xCC;
  constexpr ULONG GuardBytes = 16;
  const struct {
    ULONG fetchLength;
    ULONG nameOffset;
    size_t characters;  // whole characters the hub's bytes hold
  } cases[] = {
      {7, 4, 1},
      {8, 4, 2},
      {11, 8, 1},
      {12, 8, 2},
      {8, 8, 0},
      {101, 8, 46},
      {MaxNameAnswerLength, 8, (MaxNameAnswerLength - 8) / 2},
  };
  for (const auto& c : cases) {
    const ULONG bufferSize = NameAnswerBufferSize(c.fetchLength);
    std::vector<WCHAR> storage((bufferSize + GuardBytes) / sizeof(WCHAR) + 1);
    BYTE* answer = reinterpret_cast<BYTE*>(storage.data());
    memset(answer, 0, bufferSize);  // as allocated, zero-filled
    memset(answer + bufferSize, Guard, GuardBytes);
    memset(answer, 'A', c.fetchLength);  // the hub wrote no terminator

    const WCHAR* name = TerminateNameAnswer(answer, c.fetchLength, c.nameOffset);

    EXPECT_EQ(reinterpret_cast<const BYTE*>(name), answer + c.nameOffset);
    size_t length = 0;
    while (length * sizeof(WCHAR) + c.nameOffset < bufferSize && name[length] != 0) {
      ++length;
    }
    EXPECT_EQ(length, c.characters) << c.fetchLength;
    EXPECT_LT(c.nameOffset + length * sizeof(WCHAR), bufferSize) << "terminator out of buffer";
    for (ULONG i = 0; i < GuardBytes; ++i) {
      EXPECT_EQ(answer[bufferSize + i], Guard) << "written past the buffer at " << c.fetchLength;
    }
  }
}

TEST(NameAnswer, TerminatedNameKeepsItsText) {
  const WCHAR text[] = {'H', 'C', 'D', 0, 'x', 'y'};
  const ULONG fetchLength = 4 + sizeof(text);
  std::vector<WCHAR> storage(NameAnswerBufferSize(fetchLength) / sizeof(WCHAR) + 1);
  BYTE* answer = reinterpret_cast<BYTE*>(storage.data());
  memcpy(answer + 4, text, sizeof(text));

  const WCHAR* name = TerminateNameAnswer(answer, fetchLength, 4);

  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(name)), u"HCD");
}

TEST(ControllerRecord, KnowsRecordedNamesAndStopsAtCapacity) {
  std::vector<std::string> keys;
  for (ULONG i = 0; i <= MaxWalkedControllers; ++i) {
    keys.push_back("{36fc9e60-c465-11cf-8056-444553540000}\\" + std::to_string(1000 + i));
  }
  WalkedControllerRecord record = {};
  for (ULONG i = 0; i < MaxWalkedControllers; ++i) {
    EXPECT_FALSE(IsControllerRecorded(record, keys[i].c_str()));
    EXPECT_TRUE(RecordController(record, keys[i].data()));
    EXPECT_TRUE(IsControllerRecorded(record, keys[i].c_str()));
  }
  // A controller beyond capacity is compared with all recorded, not stored.
  const std::string& extra = keys[MaxWalkedControllers];
  EXPECT_FALSE(IsControllerRecorded(record, extra.c_str()));
  EXPECT_FALSE(RecordController(record, keys[MaxWalkedControllers].data()));
  EXPECT_EQ(record.Count, MaxWalkedControllers);
  EXPECT_TRUE(IsControllerRecorded(record, keys[0].c_str()));
  EXPECT_TRUE(IsControllerRecorded(record, keys[MaxWalkedControllers - 1].c_str()));
  // Driver keys compare exactly.
  std::string upper = keys[0];
  upper[1] = 'F';
  EXPECT_FALSE(IsControllerRecorded(record, upper.c_str()));
}

}  // namespace
