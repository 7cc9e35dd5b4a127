// Counts every allocation made on the reading thread while the blocks
// transmit and read in steady state: there must be none.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <thread>

#include "drivers/shared/comblock/serblock.h"
#include "drivers/shared/comblock/tcpblock.h"
#include "test_support.h"

#if defined(__SANITIZE_ADDRESS__)
#define U62_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define U62_SANITIZED 1
#endif
#endif

namespace {
thread_local bool t_counting = false;
std::atomic<long> g_allocations{0};
inline void note() {
  if (t_counting) g_allocations.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

#ifndef U62_SANITIZED
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* malloc(size_t n) {
  note();
  return __libc_malloc(n);
}
void* calloc(size_t a, size_t b) {
  note();
  return __libc_calloc(a, b);
}
void* realloc(void* p, size_t n) {
  note();
  return __libc_realloc(p, n);
}
}
void* operator new(size_t n) {
  note();
  if (void* p = __libc_malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t n) { return operator new(n); }
void operator delete(void* p) noexcept { free(p); }
void operator delete[](void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }
void operator delete[](void* p, size_t) noexcept { free(p); }
#endif

using namespace u62test;

namespace {

// A counter reading of 24 bytes with its CR LF.
const char kReply[] = "+1.000000000123456E+07\r\n";
const int kRounds = 1000;

// Answers every command line with one reading, over any byte pipe.
void answer_lines(int fd, bool socket, int rounds) {
  char buf[256];
  for (int answered = 0; answered < rounds;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 5000) <= 0) return;
    ssize_t n = socket ? recv(fd, buf, sizeof buf, 0) : ::read(fd, buf, sizeof buf);
    if (n <= 0) return;
    for (ssize_t i = 0; i < n; ++i) {
      if (buf[i] != '\n') continue;
      if (socket ? !send_all(fd, kReply, sizeof kReply - 1) : ::write(fd, kReply, sizeof kReply - 1) < 0) return;
      ++answered;
    }
  }
}

long count_round_trips(COMBLOCK& block, int* ok_rounds) {
  // One round first, so that anything made once per block is made now.
  int count = 0, result = 0;
  block.write("FETCH?\n", -1, 250);
  block.read(-1, 10, 2000, 500, nullptr, &count, &result);
  g_allocations = 0;
  *ok_rounds = result == RX_TERMINATED ? 1 : 0;
  t_counting = true;
  for (int i = 1; i < kRounds; ++i) {
    block.write("FETCH?\n", -1, 250);
    block.read(-1, 10, 2000, 500, nullptr, &count, &result);
    if (result == RX_TERMINATED && count == static_cast<int>(sizeof kReply - 1)) ++*ok_rounds;
  }
  t_counting = false;
  return g_allocations.load();
}

TEST(ComblockAllocations, NoneInSteadyStateOverTcp) {
#ifdef U62_SANITIZED
  GTEST_SKIP() << "the sanitizer owns malloc; counting runs in the normal build";
#endif
  Listener listener;
  TCPBLOCK block(listener.descriptor().c_str(), 1234, nullptr);
  ASSERT_TRUE(block.is_open());
  int peer = listener.accept_one();
  ASSERT_GE(peer, 0);
  std::thread answerer(answer_lines, peer, true, kRounds);
  int ok = 0;
  long allocations = count_round_trips(block, &ok);
  answerer.join();
  close(peer);
  EXPECT_EQ(ok, kRounds);
  EXPECT_EQ(allocations, 0);
}

TEST(ComblockAllocations, NoneInSteadyStateOverSerial) {
#ifdef U62_SANITIZED
  GTEST_SKIP() << "the sanitizer owns malloc; counting runs in the normal build";
#endif
  Pty pty;
  ASSERT_TRUE(pty.ok());
  SERBLOCK block(pty.slave().c_str(), nullptr);
  ASSERT_TRUE(block.is_open());
  std::thread answerer(answer_lines, pty.master(), false, kRounds);
  int ok = 0;
  long allocations = count_round_trips(block, &ok);
  answerer.join();
  EXPECT_EQ(ok, kRounds);
  EXPECT_EQ(allocations, 0);
}

// The counter itself must see allocations, or a zero above proves nothing.
TEST(ComblockAllocations, CounterSeesAllocations) {
#ifdef U62_SANITIZED
  GTEST_SKIP() << "the sanitizer owns malloc; counting runs in the normal build";
#endif
  g_allocations = 0;
  t_counting = true;
  void* volatile p = malloc(16);
  int* volatile q = new int(3);
  t_counting = false;
  free(p);
  delete q;
  EXPECT_EQ(g_allocations.load(), 2);
}

}  // namespace
