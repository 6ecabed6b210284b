// What user32 keeps of a simulated thread once it has ended: nothing when
// it destroyed every window it made, everything while one of them lives.
#include <gtest/gtest.h>

#include <windows.h>

#include "machine/machine.h"
#include "user32/desktop.h"
#include "user32/user32_internal.h"

namespace {

struct EndedThreadCase {
  const char* name;
  bool destroyWindow;
  size_t windowsLeft;
  size_t queuesLeft;
};

class EndedThreadTest : public ::testing::TestWithParam<EndedThreadCase> {};

TEST_P(EndedThreadTest, LeavesItsWindowsAndQueueOnlyWhileAWindowLives) {
  winsim::Machine machine;
  winsim::Desktop desktop;
  const EndedThreadCase& c = GetParam();
  ASSERT_TRUE(machine.Run([&] {
    const HWND window = CreateWindowExA(0, "STATIC", "window", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100,
                                        NULL, NULL, NULL, NULL);
    ASSERT_NE(window, nullptr);
    if (c.destroyWindow) {
      EXPECT_TRUE(DestroyWindow(window));
    }
  }));
  EXPECT_EQ(desktop.System().windows.size(), c.windowsLeft);
  EXPECT_EQ(desktop.System().queues.size(), c.queuesLeft);
  EXPECT_EQ(desktop.System().windowsCreated, 1u);
}

INSTANTIATE_TEST_SUITE_P(Windows, EndedThreadTest,
                         ::testing::Values(EndedThreadCase{"Destroyed", true, 0, 0},
                                           EndedThreadCase{"LeftOpen", false, 1, 1}),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace
