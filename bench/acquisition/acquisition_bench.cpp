// The acquisition thread's costs against simulated counters on loopback
// TCP, with the stand-in host engine: the reading rate its 10 ms pause
// allows, the processor time it takes while a slow counter measures, the
// memory it allocates per reading, and the latency from a reply leaving the
// counter to its sample reaching the host.
//
// The driver's host functions are wrapped so that every call into the host
// is known: allocations and processor time inside the host are not the
// driver's.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "driver/acquisition.h"
#include "driver/driver.h"
#include "driver/host_binding.h"
#include "host/host.h"
#include "host/host_store.h"
#include "sim/sim.h"

// ---- Allocation counting ------------------------------------------------

namespace {
thread_local bool t_acquisition_thread = false;
thread_local int t_in_host = 0;
std::atomic<bool> g_count_allocations{false};
std::atomic<long long> g_driver_allocations{0};

inline void note_allocation() {
  if (t_acquisition_thread && t_in_host == 0 && g_count_allocations.load(std::memory_order_relaxed))
    g_driver_allocations.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);
void* __libc_memalign(size_t, size_t);

void* malloc(size_t size) {
  note_allocation();
  return __libc_malloc(size);
}
void* calloc(size_t n, size_t size) {
  note_allocation();
  return __libc_calloc(n, size);
}
void* realloc(void* p, size_t size) {
  note_allocation();
  return __libc_realloc(p, size);
}
void free(void* p) { __libc_free(p); }
int posix_memalign(void** out, size_t alignment, size_t size) {
  note_allocation();
  void* p = __libc_memalign(alignment, size);
  if (!p) return ENOMEM;
  *out = p;
  return 0;
}
void* aligned_alloc(size_t alignment, size_t size) {
  note_allocation();
  return __libc_memalign(alignment, size);
}
}

void* operator new(std::size_t size) {
  void* p = malloc(size ? size : 1);
  if (!p) throw std::bad_alloc();
  return p;
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return malloc(size ? size : 1); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return malloc(size ? size : 1); }
void operator delete(void* p) noexcept { free(p); }
void operator delete[](void* p) noexcept { free(p); }
void operator delete(void* p, std::size_t) noexcept { free(p); }
void operator delete[](void* p, std::size_t) noexcept { free(p); }

// ---- Host wrappers ------------------------------------------------------

namespace {

std::atomic<long long> g_thread_cpu_ns{-1};
std::atomic<long long> g_thread_cpu_at_ns{-1};

long long clock_ns(clockid_t id) {
  timespec ts;
  clock_gettime(id, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// Wall time the acquisition thread spends inside host calls: the host's
// share of each pass, not the driver's.
std::atomic<long long> g_host_wall_ns{0};

struct HOST_SCOPE {
  long long entered = 0;
  HOST_SCOPE() {
    if (t_in_host++ == 0 && t_acquisition_thread) entered = clock_ns(CLOCK_MONOTONIC);
  }
  ~HOST_SCOPE() {
    if (--t_in_host == 0 && entered) g_host_wall_ns.fetch_add(clock_ns(CLOCK_MONOTONIC) - entered);
  }
};

template <typename F>
struct WRAP;

template <typename R, typename... A>
struct WRAP<R (*)(A...)> {
  template <R (**original)(A...)>
  static R call(A... args) {
    HOST_SCOPE scope;
    return (*original)(args...);
  }
};

template <>
struct WRAP<OV_printf_fn> {
  template <OV_printf_fn* original>
  static void call(const char* format, ...) {
    HOST_SCOPE scope;
    char text[4096];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format ? format : "", args);
    va_end(args);
    (*original)("%s", text);
  }
};

#define U62_ORIGINAL(name) name##_fn original_##name;
OV_HOST_FUNCTIONS(U62_ORIGINAL)
#undef U62_ORIGINAL

void mark_thread(int acq, int state) {
  if (state == OV_STATE_STARTED) t_acquisition_thread = true;
  HOST_SCOPE scope;
  original_OV_set_thread_state(acq, state);
}

// The thread asks for its command once or twice a pass: a fine place to
// sample its processor time.
int sample_cpu(int acq) {
  if (t_acquisition_thread) {
    g_thread_cpu_ns = clock_ns(CLOCK_THREAD_CPUTIME_ID);
    g_thread_cpu_at_ns = clock_ns(CLOCK_MONOTONIC);
  }
  HOST_SCOPE scope;
  return original_OV_thread_command(acq);
}

// The pause and the read between OV_unlock and OV_lock.
std::atomic<long long> g_unlocked_ns{0};
thread_local long long t_unlocked_at = 0;

void timed_unlock(int acq) {
  {
    HOST_SCOPE scope;
    original_OV_unlock(acq);
  }
  if (t_acquisition_thread) t_unlocked_at = clock_ns(CLOCK_MONOTONIC);
}

void timed_lock(int acq) {
  if (t_acquisition_thread && t_unlocked_at) {
    g_unlocked_ns.fetch_add(clock_ns(CLOCK_MONOTONIC) - t_unlocked_at);
    t_unlocked_at = 0;
  }
  HOST_SCOPE scope;
  original_OV_lock(acq);
}

void bind_driver() {
  static bool bound = false;
  if (bound) return;
  bound = true;
  driver_startup(host_resolve, ovhost::application_record(), ovhost::timer(), acquire_command);
#define U62_WRAP(name)                  \
  original_##name = g_host.name;        \
  g_host.name = WRAP<name##_fn>::call<&original_##name>;
  OV_HOST_FUNCTIONS(U62_WRAP)
#undef U62_WRAP
  g_host.OV_set_thread_state = mark_thread;
  g_host.OV_thread_command = sample_cpu;
  g_host.OV_unlock = timed_unlock;
  g_host.OV_lock = timed_lock;
}

void quiet_host() {
  // Loopback connections all mark the interface "127.0.0.1": keep this
  // run's marks apart from whatever else runs on the machine.
  static bool private_marks = [] {
    std::string dir = "/tmp/acquisition-bench-marks-" + std::to_string(getpid());
    mkdir(dir.c_str(), 0777);
    return setenv("ORVANE_MARK_DIR", dir.c_str(), 1) == 0;
  }();
  (void)private_marks;
  // As orvane-host does: the acquisition thread, created from this one,
  // inherits a timer slack that keeps its 10 ms pauses close to 10 ms.
  static int slack = prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
  (void)slack;
  ovhost::reset();
  ovhost::Config c = ovhost::config();
  c.echo = false;
  ovhost::configure(c);
  bind_driver();
}

int start_tcp(uint16_t port, bool query_id = true) {
  ovhost::HostStore store;
  store.put("Interface", ".");
  store.put("Address", "127.0.0.1:" + std::to_string(port));
  store.put("Data Type", "1");
  store.put("Stop Condition", "1");
  store.put("Query Instrument ID", query_id ? "True" : "False");
  int acq = ovhost::new_handle();
  if (!acquire_command(acq, nullptr, store.kvbase(), OVD_FLAG_NO_DIALOG | OVD_FLAG_NO_LOAD | OVD_FLAG_NO_SAVE))
    return 0;
  return acq;
}

void stop(int acq) {
  ovhost::set_thread_command(acq, OV_CMD_STOP);
  ovhost::wait_thread_end(acq, 20000);
  ovhost::close_acquisition(acq, 20000);
}

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

// ---- Steady state: rate and allocations -----------------------------------

// A counter that answers at once; 10,000 readings after a warm-up. The rate
// is taken over each run of 2,000 readings, the allocations over all of
// them.
void BM_SteadyState(benchmark::State& state) {
  const size_t warmup = 100, total = 10000, window = 2000;
  for (auto _ : state) {
    quiet_host();
    u62sim::TransportOptions o;
    o.model.numbered = true;
    o.model.measurement_time = std::chrono::microseconds(0);
    auto sim = u62sim::start_simulator(u62sim::TransportKind::TcpInstrument, o);
    if (!sim) {
      state.SkipWithError("simulator did not start");
      return;
    }
    int acq = start_tcp(sim->port());
    ovhost::wait_samples(acq, warmup, 30000);
    g_driver_allocations = 0;
    g_host_wall_ns = 0;
    g_unlocked_ns = 0;
    g_count_allocations = true;
    bool complete = ovhost::wait_samples(acq, warmup + total + 1, 400000);
    g_count_allocations = false;
    long long host_ns = g_host_wall_ns, unlocked_ns = g_unlocked_ns;
    auto samples = ovhost::samples(acq);
    stop(acq);
    if (!complete) {
      state.SkipWithError("the readings did not arrive");
      return;
    }
    std::vector<double> rates;
    for (size_t first = warmup; first + window <= warmup + total; first += window) {
      double seconds = static_cast<double>(samples[first + window].micros - samples[first].micros) / 1e6;
      rates.push_back(static_cast<double>(window) / seconds);
    }
    double rate = median(rates);
    const double pause_allows = 1000.0 / 10.0;  // one reading per 10 ms pause
    state.counters["readings_per_s_median"] = rate;
    state.counters["of_pause_rate_pct"] = 100.0 * rate / pause_allows;
    double all_s = static_cast<double>(samples[warmup + total].micros - samples[warmup].micros) / 1e6;
    state.counters["pause_and_read_ms_per_reading"] = static_cast<double>(unlocked_ns) / 1e6 / static_cast<double>(total);
    state.counters["host_ms_per_reading"] = static_cast<double>(host_ns) / 1e6 / static_cast<double>(total);
    state.counters["readings_per_s_without_host"] =
        static_cast<double>(total) / (all_s - static_cast<double>(host_ns) / 1e9);
    state.counters["driver_allocations"] = static_cast<double>(g_driver_allocations.load());
    state.counters["allocations_per_reading"] =
        static_cast<double>(g_driver_allocations.load()) / static_cast<double>(total);
    std::printf("rate per %zu-reading window:", window);
    for (double r : rates) std::printf(" %.1f", r);
    std::printf(" readings/s\n");
  }
}
BENCHMARK(BM_SteadyState)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// ---- A slow counter: processor time ---------------------------------------

void BM_IdleCpu(benchmark::State& state) {
  const int seconds = static_cast<int>(state.range(0));
  for (auto _ : state) {
    quiet_host();
    u62sim::TransportOptions o;
    o.model.measurement_time = std::chrono::seconds(1);
    auto sim = u62sim::start_simulator(u62sim::TransportKind::TcpInstrument, o);
    if (!sim) {
      state.SkipWithError("simulator did not start");
      return;
    }
    int acq = start_tcp(sim->port());
    ovhost::wait_samples(acq, 2, 10000);
    long long cpu0 = g_thread_cpu_ns, at0 = g_thread_cpu_at_ns;
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    long long cpu1 = g_thread_cpu_ns, at1 = g_thread_cpu_at_ns;
    size_t readings = ovhost::samples(acq).size();
    stop(acq);
    double share = at1 > at0 ? 100.0 * static_cast<double>(cpu1 - cpu0) / static_cast<double>(at1 - at0) : -1;
    state.counters["thread_cpu_pct_of_core"] = share;
    state.counters["thread_cpu_ms"] = static_cast<double>(cpu1 - cpu0) / 1e6;
    state.counters["readings"] = static_cast<double>(readings);
  }
}
BENCHMARK(BM_IdleCpu)->Arg(60)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// ---- Latency --------------------------------------------------------------

// A counter on loopback TCP that answers reading n (the value n) a fixed
// time after each trigger and notes when the reply's last byte was handed
// to the socket.
class TIMED_COUNTER {
 public:
  TIMED_COUNTER(std::chrono::microseconds delay, size_t capacity) : delay_(delay), sent_at_(capacity + 1, -1) {
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && listen(listen_fd_, 2) == 0) {
      socklen_t len = sizeof addr;
      getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
      port_ = ntohs(addr.sin_port);
    }
    thread_ = std::thread([this] { serve(); });
  }
  ~TIMED_COUNTER() {
    stop_ = true;
    thread_.join();
    close(listen_fd_);
  }
  uint16_t port() const { return port_; }
  long long sent_at(size_t n) {
    std::lock_guard<std::mutex> l(mutex_);
    return n < sent_at_.size() ? sent_at_[n] : -1;
  }

 private:
  static long long now_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
  void serve() {
    int client = -1;
    std::string line;
    std::vector<long long> due;
    size_t next = 1;
    while (!stop_) {
      long long now = now_us();
      while (!due.empty() && due.front() <= now && client >= 0) {
        char text[64];
        int len = std::snprintf(text, sizeof text, "%zu\n", next);
        send(client, text, static_cast<size_t>(len), MSG_NOSIGNAL);
        {
          std::lock_guard<std::mutex> l(mutex_);
          if (next < sent_at_.size()) sent_at_[next] = now_us();
        }
        next++;
        due.erase(due.begin());
      }
      int wait_ms = 20;
      if (!due.empty()) wait_ms = static_cast<int>(std::max<long long>(0, (due.front() - now_us()) / 1000));
      pollfd p{client >= 0 ? client : listen_fd_, POLLIN, 0};
      if (poll(&p, 1, std::min(wait_ms, 20)) <= 0) continue;
      if (client < 0) {
        client = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        continue;
      }
      char buffer[4096];
      ssize_t n = recv(client, buffer, sizeof buffer, 0);
      if (n <= 0) {
        close(client);
        client = -1;
        continue;
      }
      for (ssize_t i = 0; i < n; i++) {
        if (buffer[i] != '\n') {
          if (line.size() < 4096) line += buffer[i];
          continue;
        }
        if (line.find("FETCH?") != std::string::npos) due.push_back(now_us() + delay_.count());
        line.clear();
      }
    }
    if (client >= 0) close(client);
  }

  std::chrono::microseconds delay_;
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<long long> sent_at_;
  std::thread thread_;
};

void BM_Latency(benchmark::State& state) {
  const auto delay = std::chrono::microseconds(state.range(0));
  const size_t count = static_cast<size_t>(state.range(1));
  for (auto _ : state) {
    quiet_host();
    TIMED_COUNTER counter(delay, count + 16);
    int acq = start_tcp(counter.port(), false);
    bool complete = ovhost::wait_samples(acq, count, 600000);
    auto samples = ovhost::samples(acq);
    stop(acq);
    if (!complete) {
      state.SkipWithError("the readings did not arrive");
      return;
    }
    std::vector<double> latency_us;
    for (const auto& s : samples) {
      long long sent = counter.sent_at(static_cast<size_t>(s.reading));
      if (sent >= 0) latency_us.push_back(static_cast<double>(s.micros - sent));
    }
    state.counters["latency_median_ms"] = median(latency_us) / 1000.0;
    state.counters["latency_p99_ms"] = percentile(latency_us, 0.99) / 1000.0;
    state.counters["samples"] = static_cast<double>(latency_us.size());
  }
}
BENCHMARK(BM_Latency)
    ->ArgNames({"delay_us", "readings"})
    ->Args({0, 1000})
    ->Args({37000, 500})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
