// Sending and receiving allocate nothing once a connection runs: every
// operator new and every malloc made on the port's thread is counted while
// 1,000 command and reply pairs go through the port. The simulator's own
// thread is not counted.
#include <cstdlib>
#include <new>
#include <string>

#include <gtest/gtest.h>

#include "drivers/shared/gpibport/gpibport.h"
#include "hook_recorder.h"
#include "sim_peer.h"

namespace {
thread_local bool t_counting = false;
thread_local long t_allocations = 0;
}  // namespace

extern "C" {
void* __real_malloc(size_t size);
void* __real_calloc(size_t n, size_t size);
void* __real_realloc(void* p, size_t size);
void* __wrap_malloc(size_t size) {
  if (t_counting) ++t_allocations;
  return __real_malloc(size);
}
void* __wrap_calloc(size_t n, size_t size) {
  if (t_counting) ++t_allocations;
  return __real_calloc(n, size);
}
void* __wrap_realloc(void* p, size_t size) {
  if (t_counting) ++t_allocations;
  return __real_realloc(p, size);
}
}

void* operator new(size_t size) {
  if (t_counting) ++t_allocations;
  void* p = __real_malloc(size ? size : 1);
  if (!p) throw std::bad_alloc();
  return p;
}
void* operator new[](size_t size) { return operator new(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  if (t_counting) ++t_allocations;
  return __real_malloc(size ? size : 1);
}
void* operator new[](size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }

namespace {

// The counter itself must see both kinds of allocation.
TEST(Allocation, CounterSeesNewAndMalloc) {
  t_allocations = 0;
  t_counting = true;
  int* volatile p = new int(1);
  void* volatile m = std::malloc(8);
  t_counting = false;
  delete p;
  std::free(m);
  EXPECT_EQ(t_allocations, 2);
}

TEST(Allocation, NonePerSendAndReceive) {
  const struct {
    u62sim::TransportKind kind;
    int hint;
  } cases[] = {{u62sim::TransportKind::TcpInstrument, KIND_TCP_INSTRUMENT}, {u62sim::TransportKind::PrologixLan, 0}};
  for (const auto& c : cases) {
    SIM_PEER peer;
    ASSERT_TRUE(peer.start(c.kind));
    HOOK_RECORDER rec;
    GPIBPORT port;
    port.owner = &rec;
    port.select_interface(peer.descriptor.c_str(), c.hint);
    ASSERT_EQ(port.open(10, HOOK_RECORDER::hook, false, 1500, -1, false, 4096, false), 1) << rec.all();

    auto pair = [&port]() {
      if (!port.send("*IDN?")) return false;
      for (int i = 0; i < 20; ++i) {
        int status = 1;
        if (!port.receive(-1, true, false, &status)) return false;
        if (status == RX_TERMINATED) return true;
      }
      return false;
    };
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(pair());

    t_allocations = 0;
    t_counting = true;
    int done = 0;
    for (int i = 0; i < 1000 && pair(); ++i) ++done;
    t_counting = false;
    EXPECT_EQ(done, 1000) << rec.all();
    EXPECT_EQ(t_allocations, 0) << "allocations in 1,000 send/receive pairs";
    port.close(true);
  }
}

}  // namespace
