// The small platform pieces the core leans on everywhere.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "platform/clock.h"
#include "platform/msgbox.h"
#include "platform/thread.h"

namespace {
std::string last_text, last_caption;
int capture(const char* text, const char* caption, unsigned, void*) {
  last_text = text;
  last_caption = caption;
  return 7;
}
std::atomic<bool> release{false};
uint32_t wait_for_release(void*) {
  while (!release) plat_sleep_ms(5);
  return 0;
}
uint32_t use_big_stack(void* arg) {
  volatile char big[600 * 1024];
  big[0] = 1;
  big[sizeof big - 1] = 2;
  *static_cast<int*>(arg) = big[0] + big[sizeof big - 1];
  return 0;
}
}  // namespace

TEST(MessageBox, HandlerSeesTextAndCaptionAndAnswers) {
  plat_set_message_box_handler(capture, nullptr);
  EXPECT_EQ(plat_message_box("Port in use", "Error", PLAT_MB_OK), 7);
  EXPECT_EQ(last_text, "Port in use");
  EXPECT_EQ(last_caption, "Error");
  plat_set_message_box_handler(nullptr, nullptr);
  EXPECT_EQ(plat_message_box("default", "box", PLAT_MB_OK), PLAT_IDOK);
}

TEST(Clock, SleepAdvancesTheTick) {
  uint32_t start = plat_tick_ms();
  plat_sleep_ms(30);
  int32_t elapsed = static_cast<int32_t>(plat_tick_ms() - start);
  EXPECT_GE(elapsed, 29);
  EXPECT_LT(elapsed, 1000);
}

TEST(Thread, JoinIsBoundedAndStackIsAsLargeAsAsked) {
  release = false;
  PLAT_THREAD t = plat_thread_start(wait_for_release, nullptr, 0);
  ASSERT_NE(t, nullptr);
  uint32_t start = plat_tick_ms();
  EXPECT_FALSE(plat_thread_join(t, 50));
  EXPECT_LT(static_cast<int32_t>(plat_tick_ms() - start), 1000);
  EXPECT_FALSE(plat_thread_done(t));
  release = true;
  EXPECT_TRUE(plat_thread_join(t, 5000));

  int result = 0;
  PLAT_THREAD big = plat_thread_start(use_big_stack, &result, 4 * 1024 * 1024);
  ASSERT_NE(big, nullptr);
  EXPECT_TRUE(plat_thread_join(big, 5000));
  EXPECT_EQ(result, 3);
}
