// Replies per second through the byte streams, read one by one with the
// terminator tested per byte, and the processor time of a read on a
// silent line (U62_SILENT_SECONDS, 10 s unless set).
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "drivers/shared/comblock/serblock.h"
#include "drivers/shared/comblock/tcpblock.h"
#include "test_support.h"

using namespace u62test;

namespace {

// A counter reading of 24 bytes with its CR LF.
const char kReply[] = "+1.000000000123456E+07\r\n";
const size_t kReplyLength = sizeof kReply - 1;

// Streams replies into fd until stop is set; bounded by poll time-outs so
// that a reader that went away never leaves it hanging.
void stream_replies(int fd, bool socket, std::atomic<bool>* stop) {
  char batch[kReplyLength * 64];
  for (size_t i = 0; i < 64; ++i) std::memcpy(batch + i * kReplyLength, kReply, kReplyLength);
  while (!stop->load()) {
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    ssize_t n = socket ? send(fd, batch, sizeof batch, MSG_NOSIGNAL | MSG_DONTWAIT) : write(fd, batch, sizeof batch);
    if (n < 0 && errno != EAGAIN && errno != EINTR) return;
    // A cut batch would misalign the replies; finish it blocking-free.
    size_t done = n > 0 ? static_cast<size_t>(n) : 0;
    while (done > 0 && done < sizeof batch && !stop->load()) {
      if (poll(&p, 1, 100) <= 0) continue;
      ssize_t m = socket ? send(fd, batch + done, sizeof batch - done, MSG_NOSIGNAL | MSG_DONTWAIT)
                         : write(fd, batch + done, sizeof batch - done);
      if (m > 0) done += static_cast<size_t>(m);
      else if (m < 0 && errno != EAGAIN && errno != EINTR) return;
    }
  }
}

void read_replies(benchmark::State& state, COMBLOCK& block) {
  int count = 0, result = 0;
  int64_t bad = 0;
  for (auto _ : state) {
    block.read(-1, 10, 2000, 500, nullptr, &count, &result);
    if (result != RX_TERMINATED || count != static_cast<int>(kReplyLength)) ++bad;
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["replies_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["bad_replies"] = static_cast<double>(bad);
}

void BM_TcpReplies(benchmark::State& state) {
  Listener listener;
  TCPBLOCK block(listener.descriptor().c_str(), 1234, nullptr);
  int peer = listener.accept_one();
  if (!block.is_open() || peer < 0) {
    state.SkipWithError("no loopback connection");
    return;
  }
  std::atomic<bool> stop{false};
  std::thread peer_thread(stream_replies, peer, true, &stop);
  read_replies(state, block);
  stop = true;
  peer_thread.join();
  close(peer);
}
BENCHMARK(BM_TcpReplies)->UseRealTime()->MinTime(2.0);

void BM_SerialReplies(benchmark::State& state) {
  Pty pty;
  SERBLOCK block(pty.ok() ? pty.slave().c_str() : "/nonexistent", nullptr);
  if (!block.is_open()) {
    state.SkipWithError("no pseudo-terminal");
    return;
  }
  std::atomic<bool> stop{false};
  std::thread peer_thread(stream_replies, pty.master(), false, &stop);
  read_replies(state, block);
  stop = true;
  peer_thread.join();
}
BENCHMARK(BM_SerialReplies)->UseRealTime()->MinTime(2.0);

double cpu_seconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void silent_read(benchmark::State& state, COMBLOCK& block) {
  const char* s = getenv("U62_SILENT_SECONDS");
  double seconds = s && atof(s) > 0 ? atof(s) : 10.0;
  double cpu = 0, wall = 0;
  for (auto _ : state) {
    double cpu0 = cpu_seconds();
    int64_t t0 = now_ms();
    int count = 0, result = 0;
    block.read(-1, 10, static_cast<int>(seconds * 1000), 500, nullptr, &count, &result);
    wall += static_cast<double>(now_ms() - t0) / 1000.0;
    cpu += cpu_seconds() - cpu0;
    if (result != RX_TIMEOUT) state.SkipWithError("the silent line was not silent");
  }
  state.counters["wall_s"] = wall;
  state.counters["cpu_s"] = cpu;
  state.counters["cpu_percent_of_core"] = wall > 0 ? 100.0 * cpu / wall : 0;
}

void BM_SilentTcpRead(benchmark::State& state) {
  Listener listener;
  TCPBLOCK block(listener.descriptor().c_str(), 1234, nullptr);
  int peer = listener.accept_one();
  if (!block.is_open() || peer < 0) {
    state.SkipWithError("no loopback connection");
    return;
  }
  silent_read(state, block);
  close(peer);
}
BENCHMARK(BM_SilentTcpRead)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

void BM_SilentSerialRead(benchmark::State& state) {
  Pty pty;
  SERBLOCK block(pty.ok() ? pty.slave().c_str() : "/nonexistent", nullptr);
  if (!block.is_open()) {
    state.SkipWithError("no pseudo-terminal");
    return;
  }
  silent_read(state, block);
}
BENCHMARK(BM_SilentSerialRead)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
