// A read on a silent line sleeps: it must cost next to no processor time,
// while its time-out and its poll calls still come when they should.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <cstdlib>

#include "drivers/shared/comblock/serblock.h"
#include "drivers/shared/comblock/tcpblock.h"
#include "test_support.h"

using namespace u62test;

namespace {

double cpu_seconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

int idle_ms() {
  const char* s = getenv("U62_IDLE_SECONDS");
  double seconds = s ? atof(s) : 2.0;
  return static_cast<int>((seconds > 0 ? seconds : 2.0) * 1000);
}

std::atomic<int> g_polls{0};
int count_polls() {
  ++g_polls;
  return 1;
}

void expect_idle(COMBLOCK& block) {
  const int ms = idle_ms();
  const int dropout = 100;
  g_polls = 0;
  double cpu0 = cpu_seconds();
  int64_t t0 = now_ms();
  int count = -1, result = 0;
  block.read(-1, 10, ms, dropout, count_polls, &count, &result);
  int64_t wall = now_ms() - t0;
  double cpu = cpu_seconds() - cpu0;
  EXPECT_EQ(result, RX_TIMEOUT);
  EXPECT_EQ(count, 0);
  EXPECT_GE(wall, ms);
  EXPECT_LT(wall, ms + dropout + 400);
  // One poll per wait slice, not one per spin.
  EXPECT_GE(g_polls.load(), ms / dropout - 1);
  EXPECT_LE(g_polls.load(), ms / dropout + 2);
  double share = cpu / (static_cast<double>(wall) / 1000.0);
  EXPECT_LT(share, 0.01) << "cpu " << cpu << " s over " << wall << " ms";
  ::testing::Test::RecordProperty("cpu_share_percent", std::to_string(share * 100));
}

TEST(ComblockIdle, SilentTcpLineCostsNoProcessor) {
  Listener listener;
  TCPBLOCK block(listener.descriptor().c_str(), 1234, nullptr);
  ASSERT_TRUE(block.is_open());
  int peer = listener.accept_one();
  ASSERT_GE(peer, 0);
  expect_idle(block);
  close(peer);
}

TEST(ComblockIdle, SilentSerialLineCostsNoProcessor) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  SERBLOCK block(pty.slave().c_str(), nullptr);
  ASSERT_TRUE(block.is_open());
  expect_idle(block);
}

}  // namespace
