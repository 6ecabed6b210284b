// Message queues: posted against sent messages, marshalled SendMessage
// between threads, WM_QUIT and generated WM_PAINT.
#include <gtest/gtest.h>

#include "machine/machine.h"
#include "user32_fixture.h"

namespace user32_testing {
namespace {

constexpr UINT kFirst = WM_APP + 1;
constexpr UINT kSecond = WM_APP + 2;
constexpr UINT kSent = WM_APP + 3;
constexpr UINT kStop = WM_APP + 4;
constexpr UINT kEcho = WM_APP + 5;

// Dispatches until kStop arrives.
void PumpUntilStop() {
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0)) {
    if (msg.message == kStop) break;
    DispatchMessageA(&msg);
  }
}

class MessageTest : public User32Test {};

TEST_F(MessageTest, SentMessageOvertakesPostedOnesOnTheSameThread) {
  Recorder recorder;
  RunOnMachine([&] {
    HWND window = CreateRecorder(recorder);
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(PostMessageA(window, kFirst, 1, 0));
    ASSERT_TRUE(PostMessageA(window, kSecond, 2, 0));
    EXPECT_EQ(SendMessageA(window, kSent, 3, 0), 0);  // DefWindowProc's answer
    PostMessageA(nullptr, kStop, 0, 0);               // a thread message
    PumpUntilStop();
    DestroyWindow(window);
  });
  EXPECT_EQ(recorder.Messages(), (std::vector<UINT>{kSent, kFirst, kSecond}));
}

TEST_F(MessageTest, CrossThreadSendRunsOnTheOwnerAndBeforeItsPostedMessages) {
  Recorder recorder;
  HWND window = nullptr;
  LRESULT answer = -1;
  RunOnMachine([&] {
    machine().Sched().CreateThread("owner", [&] {
      window = CreateRecorder(recorder);
      PumpUntilStop();
      DestroyWindow(window);
    });
    winsim::UserAgent agent;
    ASSERT_TRUE(agent.WaitIdle());  // the owner waits in GetMessage
    // A posted message waits in the queue; the sent one is handled first,
    // on the owner's thread, while this thread blocks for the answer.
    PostMessageA(window, kFirst, 0, 0);
    SendMessageA(window, kSent, 0, 0);
    answer = SendMessageA(window, WM_GETTEXTLENGTH, 0, 0);
    PostMessageA(window, kStop, 0, 0);
  });
  EXPECT_EQ(answer, static_cast<LRESULT>(std::string("recorder").size()));
  ASSERT_EQ(recorder.entries.size(), 2u);
  EXPECT_EQ(recorder.entries[0].message, kSent);
  EXPECT_EQ(recorder.entries[0].thread, "owner");
  EXPECT_EQ(recorder.entries[1].message, kFirst);
}

// The owner, handling a message sent by another thread, sends back to a
// window of that thread: the waiting sender answers it, so neither blocks for
// ever.
TEST_F(MessageTest, WaitingSenderAnswersMessagesSentToIt) {
  static HWND senderWindow = nullptr;
  static std::vector<std::string> echoes;
  echoes.clear();
  struct Echo {
    static LRESULT CALLBACK Proc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
      if (message == kEcho) {
        echoes.push_back(winsim::Scheduler::CurrentName());
        // The owner calls back into the sender's window.
        if (wParam == 0) return SendMessageA(senderWindow, kEcho, 1, 0) + 10;
        return 5;
      }
      return DefWindowProcA(hWnd, message, wParam, lParam);
    }
  };
  LRESULT answer = 0;
  // Outside the main thread's body: the owner thread still uses it after
  // that body has returned.
  HWND ownerWindow = nullptr;
  RunOnMachine([&] {
    WNDCLASSA cls{};
    cls.lpfnWndProc = &Echo::Proc;
    cls.lpszClassName = "Echo";
    ASSERT_NE(RegisterClassA(&cls), 0);
    machine().Sched().CreateThread("owner", [&] {
      ownerWindow = CreateWindowExA(0, "Echo", "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                    nullptr, nullptr);
      PumpUntilStop();
      DestroyWindow(ownerWindow);
    });
    winsim::UserAgent agent;
    ASSERT_TRUE(agent.WaitUntil([&] { return ownerWindow != nullptr; }));
    senderWindow =
        CreateWindowExA(0, "Echo", "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    answer = SendMessageA(ownerWindow, kEcho, 0, 0);
    PostMessageA(ownerWindow, kStop, 0, 0);
    DestroyWindow(senderWindow);
  });
  EXPECT_EQ(answer, 15);
  EXPECT_EQ(echoes, (std::vector<std::string>{"owner", "main"}));
}

TEST_F(MessageTest, QuitComesAfterThePostedMessagesAndBeforePaint) {
  Recorder recorder;
  std::vector<UINT> order;
  int exitCode = 0;
  RunOnMachine([&] {
    HWND window = CreateRecorder(recorder);
    ShowWindow(window, SW_SHOW);  // now it needs painting
    PostQuitMessage(7);
    PostMessageA(window, kFirst, 0, 0);
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0)) {
      order.push_back(msg.message);
      DispatchMessageA(&msg);
    }
    exitCode = static_cast<int>(msg.wParam);
    order.push_back(msg.message);
    // The paint still waits: WM_QUIT is delivered before it.
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_PAINT));
    DispatchMessageA(&msg);  // DefWindowProc validates
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    DestroyWindow(window);
  });
  EXPECT_EQ(order, (std::vector<UINT>{kFirst, WM_QUIT}));
  EXPECT_EQ(exitCode, 7);
}

TEST_F(MessageTest, PaintIsGeneratedOnlyWhenNothingIsPosted) {
  Recorder recorder;
  std::vector<UINT> order;
  RunOnMachine([&] {
    HWND window = CreateRecorder(recorder);
    ShowWindow(window, SW_SHOW);
    PostMessageA(window, kFirst, 0, 0);
    MSG msg;
    for (int i = 0; i < 2 && PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE); ++i) {
      order.push_back(msg.message);
      DispatchMessageA(&msg);
    }
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));
    DestroyWindow(window);
  });
  EXPECT_EQ(order, (std::vector<UINT>{kFirst, WM_PAINT}));
}

TEST_F(MessageTest, MessagesToWindowsThatAreGoneFail) {
  RunOnMachine([&] {
    Recorder recorder;
    HWND window = CreateRecorder(recorder);
    ASSERT_TRUE(DestroyWindow(window));
    EXPECT_FALSE(IsWindow(window));
    EXPECT_FALSE(PostMessageA(window, kFirst, 0, 0));
    EXPECT_EQ(SendMessageA(window, WM_GETTEXTLENGTH, 0, 0), 0);
    EXPECT_FALSE(DestroyWindow(window));
    // A new window never reuses the handle.
    Recorder other;
    EXPECT_NE(CreateRecorder(other), window);
  });
}

TEST_F(MessageTest, PostedMessagesAreLogged) {
  RunOnMachine([&] {
    Recorder recorder;
    HWND window = CreateRecorder(recorder);
    PostMessageA(window, WM_APP + 3, 0, 0x55);
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE);
  });
  EXPECT_TRUE(Logged("posted", "message", "WM_APP+3"));
  EXPECT_TRUE(Logged("posted", "lParam", "0x55"));
}

}  // namespace
}  // namespace user32_testing
