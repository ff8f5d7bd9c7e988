#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Event.h"
#include "platform/Thread.h"
#include "platform/ThreadMessages.h"
#include "tests/TestSupport.h"

namespace {

using namespace platform;
using testing_support::WaitFor;

using ThreadMessagesTest = testing_support::WatchedTest;  // a lost wake-up fails instead of hanging

TEST_F(ThreadMessagesTest, QueueLastsFromTheFirstRequestUntilTheThreadEnds) {
  std::atomic<DWORD> id{0};
  std::atomic<int> step{0};
  std::vector<ThreadMessage> got;
  UINT last = 0;
  std::thread owner([&] {
    id = CurrentThreadId();
    WaitFor([&] { return step == 1; });
    ThreadMessage message;
    EXPECT_FALSE(PeekMessage(&message, false));  // asks for messages: the queue now exists
    step = 2;
    while (GetMessage(&message)) got.push_back(message);  // sleeps between the posts
    last = message.message;
  });
  ASSERT_TRUE(WaitFor([&] { return id != 0; }));
  EXPECT_FALSE(PostThreadMessage(id, 0x400, 1, 2));
  step = 1;
  ASSERT_TRUE(WaitFor([&] { return step == 2; }));
  int window = 0;
  EXPECT_TRUE(PostThreadMessage(id, 0x401, 10, -10));
  EXPECT_TRUE(PostWindowMessage(id, &window, 0x402, 20, -20));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // lets it sleep in GetMessage
  EXPECT_TRUE(PostThreadMessage(id, 0x403, 30, -30));
  EXPECT_TRUE(PostThreadMessage(id, WM_QUIT, 0, 0));
  owner.join();
  EXPECT_EQ(last, WM_QUIT);
  ASSERT_EQ(got.size(), 3u);
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].message, 0x401u + i);
    EXPECT_EQ(got[i].wParam, 10u * (i + 1));
    EXPECT_EQ(got[i].lParam, -10 * static_cast<std::intptr_t>(i + 1));
    EXPECT_EQ(got[i].window, i == 1 ? &window : nullptr);
  }
  EXPECT_FALSE(PostThreadMessage(id, 0x404, 0, 0));  // the thread has ended
}

TEST_F(ThreadMessagesTest, PeekAndWaitForObjectOrMessage) {
  std::thread([] {
    ThreadMessage message;
    EXPECT_FALSE(PeekMessage(&message, true));
    Event event(false, false);
    EXPECT_EQ(WaitForObjectOrMessage(&event, 0), MessageWait::Timeout);
    EXPECT_EQ(WaitForObjectOrMessage(&event, 30), MessageWait::Timeout);
    ASSERT_TRUE(PostThreadMessage(CurrentThreadId(), 0x400, 7, 0));
    ASSERT_TRUE(PostThreadMessage(CurrentThreadId(), 0x401, 8, 0));
    EXPECT_EQ(WaitForObjectOrMessage(&event, 0), MessageWait::Message);
    EXPECT_TRUE(PeekMessage(&message, false));  // the wait and a peek leave the message queued
    EXPECT_TRUE(PeekMessage(&message, true));
    EXPECT_EQ(message.wParam, 7u);
    event.Set();  // the object comes first, and is taken
    EXPECT_EQ(WaitForObjectOrMessage(&event, 0), MessageWait::Signalled);
    EXPECT_FALSE(event.IsSet());
    EXPECT_TRUE(PeekMessage(&message, true));
    EXPECT_EQ(message.wParam, 8u);
    EXPECT_FALSE(PeekMessage(&message, true));
  }).join();
}

}  // namespace
