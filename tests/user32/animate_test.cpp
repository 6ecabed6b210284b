// The animation control: the clip resource opened from the module, frames
// advancing on the virtual clock, stop and repetition.
#include <gtest/gtest.h>

#include "resource.h"
#include "user32_fixture.h"

namespace user32_testing {
namespace {

class AnimateTest : public User32Test {
 protected:
  // An animation control with clip 136 open, on a "ui" thread pumping
  // messages until its parent is destroyed; `user` plays.
  void WithClip(const std::function<void(winsim::UserAgent&, HWND animation)>& user) {
    Play(
        [&] {
          InitControls(ICC_ANIMATE_CLASS);
          Recorder recorder;
          HWND parent = CreateRecorder(recorder);
          ShowWindow(parent, SW_SHOW);
          HWND animation =
              CreateWindowExA(0, ANIMATE_CLASSA, "", WS_CHILD | WS_VISIBLE | ACS_CENTER, 0, 0, 75,
                              70, parent, reinterpret_cast<HMENU>(9), nullptr, nullptr);
          opened_ = SendMessageA(animation, ACM_OPEN, 0,
                                 reinterpret_cast<LPARAM>(MAKEINTRESOURCEA(IDR_PROGRESS_AVI)));
          MSG msg;
          while (IsWindow(parent) && GetMessageA(&msg, nullptr, 0, 0)) DispatchMessageA(&msg);
        },
        [&](winsim::UserAgent& agent) {
          agent.WaitIdle();
          HWND parent = agent.FindWindow("recorder");
          user(agent, GetDlgItem(parent, 9));
          PostMessageA(parent, WM_CLOSE, 0, 0);  // DefWindowProc destroys it
        });
  }
  LRESULT opened_ = FALSE;
};

TEST_F(AnimateTest, OpensTheClipResource) {
  std::optional<winsim::AnimationView> view;
  WithClip([&](winsim::UserAgent& agent, HWND animation) {
    view = agent.Animation(GetParent(animation), 9);
  });
  EXPECT_TRUE(opened_);
  ASSERT_TRUE(view.has_value());
  EXPECT_TRUE(view->open);
  EXPECT_FALSE(view->playing);  // opened, not played
  EXPECT_EQ(view->frames, 30u);
  EXPECT_EQ(view->frame, 0u);
  EXPECT_TRUE(Logged("animation opened", "size", "74x66"));
}

TEST_F(AnimateTest, FramesAdvanceTenASecondOnTheVirtualClock) {
  struct Case {
    WPARAM repeat;
    int from;
    int to;
    winsim::VirtualTime wait;
    unsigned frame;
    bool playing;
  };
  const Case cases[] = {
      {static_cast<WPARAM>(-1), 0, 0xFFFF, 50 * kMillisecond, 0, true},
      {static_cast<WPARAM>(-1), 0, 0xFFFF, 1050 * kMillisecond, 10, true},
      {static_cast<WPARAM>(-1), 0, 0xFFFF, 3050 * kMillisecond, 0, true},  // wrapped round
      {static_cast<WPARAM>(-1), 5, 9, 750 * kMillisecond, 7, true},        // 5..9 looping
      {2, 0, 3, 550 * kMillisecond, 1, true},                              // second pass
      {2, 0, 3, 850 * kMillisecond, 3, false},                             // both passes done
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.wait / kMillisecond);
    TearDown();
    SetUp();
    std::optional<winsim::AnimationView> view;
    WithClip([&](winsim::UserAgent& agent, HWND animation) {
      SendMessageA(animation, ACM_PLAY, c.repeat, MAKELPARAM(c.from, c.to));
      agent.Wait(c.wait);
      view = agent.Animation(GetParent(animation), 9);
    });
    ASSERT_TRUE(view.has_value());
    EXPECT_EQ(view->frame, c.frame);
    EXPECT_EQ(view->playing, c.playing);
  }
}

TEST_F(AnimateTest, StopHoldsTheFrame) {
  std::optional<winsim::AnimationView> stopped;
  std::optional<winsim::AnimationView> later;
  WithClip([&](winsim::UserAgent& agent, HWND animation) {
    SendMessageA(animation, ACM_PLAY, static_cast<WPARAM>(-1), MAKELPARAM(0, 0xFFFF));
    agent.Wait(420 * kMillisecond);
    EXPECT_TRUE(SendMessageA(animation, ACM_STOP, 0, 0));
    stopped = agent.Animation(GetParent(animation), 9);
    agent.Wait(2000 * kMillisecond);
    later = agent.Animation(GetParent(animation), 9);
  });
  ASSERT_TRUE(stopped && later);
  EXPECT_EQ(stopped->frame, 4u);
  EXPECT_FALSE(later->playing);
  EXPECT_EQ(later->frame, 4u);
  EXPECT_TRUE(Logged("animation stopped", "frame", "4"));
}

TEST_F(AnimateTest, BadOpenAndPlayRequestsFail) {
  WithClip([&](winsim::UserAgent&, HWND animation) {
    EXPECT_FALSE(SendMessageA(animation, ACM_PLAY, 1, MAKELPARAM(20, 10)));  // from after to
    EXPECT_FALSE(
        SendMessageA(animation, ACM_OPEN, 0, reinterpret_cast<LPARAM>(MAKEINTRESOURCEA(4242))));
    // The failed open closed the old clip: nothing to play.
    EXPECT_FALSE(SendMessageA(animation, ACM_PLAY, 1, MAKELPARAM(0, 0xFFFF)));
  });
}

}  // namespace
}  // namespace user32_testing
