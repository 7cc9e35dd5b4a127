// The host's support functions and the acquisition engine behind them.
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "host/host.h"
#include "kvstore/kvstore.h"

namespace ovhost {
namespace {

constexpr size_t APP_RECORD_SIZE = 4096, MAX_CALLS = 4096, MAX_MESSAGES = 4096, MESSAGE_SIZE = 8192;
constexpr size_t FOLDER_OFFSET = OV_APP_SETTINGS_FOLDER_OFFSET;

int64_t now_micros() {
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

struct HostTimer final : OV_TIMER {
  int64_t microseconds() override { return now_micros(); }
};

// OV_lock: one owner thread at a time, re-entrant for that thread. A driver
// that never unlocks must not hang the host forever, so a waiter gives up
// after a long bound and the fault is counted instead.
struct AcqLock {
  std::mutex m;
  std::condition_variable cv;
  std::thread::id owner;
  int depth = 0;
};

struct Acq {
  explicit Acq(int h) : handle(h) {}
  int handle;
  Status st;
  OVD_THREAD_FN thread_fn = nullptr;
  OVD_DESTROY_FN destroy_fn = nullptr;
  pthread_t thread{};
  bool thread_created = false;
  bool joined = false;
  bool gate = true;
  int64_t first_sample = -1;
  std::vector<Sample> samples;
  std::vector<Param> params;
  std::deque<std::string> calls;
  std::atomic<int> command{0};
  std::atomic<int> state{0};
  AcqLock lock;
};

struct Global {
  std::mutex mutex;
  // Waiters wake only for what they wait for: a driver calls in a dozen
  // times per reading, and waking the program's main thread for each of
  // them costs the acquisition thread its pace on a busy machine.
  std::condition_variable changed;         // lifecycle, commands, states
  std::condition_variable sample_arrived;  // samples
  std::condition_variable message_arrived; // printed texts
  std::map<int, std::unique_ptr<Acq>> acqs;
  std::deque<Message> messages;
  Registration reg;
  Config config;
  // Shared, so that a call takes a reference rather than a copy.
  std::shared_ptr<const std::function<void(int, const Sample&)>> sample_listener;
  std::shared_ptr<const std::function<void(const Message&)>> message_listener;
  std::shared_ptr<const std::function<void(int)>> parameters_listener;
  int next_handle = 1;
  intptr_t next_registration = 0x100;
  alignas(16) char app_record[APP_RECORD_SIZE] = {};
  HostTimer timer;
  Global() { std::memcpy(app_record + OV_APP_SETTINGS_FOLDER_OFFSET, "./", 3); }
};

// Left alive at exit on purpose: a detached driver thread may still call in.
Global& g() {
  static Global* global = new Global;
  return *global;
}

// The record for a handle, created on first use. Caller holds g().mutex.
Acq& acq_locked(int handle) {
  auto& slot = g().acqs[handle];
  if (!slot) {
    slot = std::make_unique<Acq>(handle);
    slot->st.known = true;
  }
  return *slot;
}

Acq* acq_ptr(int handle) {
  std::lock_guard<std::mutex> l(g().mutex);
  return &acq_locked(handle);
}

void note_locked(Acq& a, std::string text) {
  if (a.calls.size() >= MAX_CALLS) a.calls.pop_front();
  a.calls.push_back(std::move(text));
}

void note(int handle, std::string text) {
  std::lock_guard<std::mutex> l(g().mutex);
  note_locked(acq_locked(handle), std::move(text));
}

int open_count_locked() {
  int n = 0;
  for (auto& [h, a] : g().acqs)
    if (a->st.open) n++;
  return n;
}

bool held_by_caller(Acq& a) {
  std::lock_guard<std::mutex> l(a.lock.m);
  return a.lock.depth > 0 && a.lock.owner == std::this_thread::get_id();
}

bool same_key(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

const Param* find_param(const std::vector<Param>& params, const std::string& key) {
  const Param* found = nullptr;
  for (auto& p : params)
    if (same_key(p.key, key)) found = &p;
  return found;
}

bool timing_done_locked(Acq& a) {
  const Param* stop = find_param(a.params, "Stop Condition");
  if (stop && parse_number(stop->value) == 1) return false;
  const Param* duration = find_param(a.params, "Duration");
  if (!duration) return false;
  double d = parse_number(duration->value);
  if (!(d > 0)) return false;
  const Param* type_param = find_param(a.params, "Duration Type");
  int type = type_param ? static_cast<int>(parse_number(type_param->value)) : 3;
  if (type == 0) return static_cast<double>(a.st.sample_count) >= d;
  static const double unit[] = {0, 1, 60, 3600, 86400};
  if (type < 1 || type > 4 || a.first_sample < 0) return false;
  return static_cast<double>(now_micros() - a.first_sample) >= d * unit[type] * 1e6;
}

// ---- The 22 support functions ----

intptr_t host_register_driver(void* instance, const char* name, int a, int b, int c, OVD_ACQUIRE_FN acquire) {
  std::lock_guard<std::mutex> l(g().mutex);
  Registration& r = g().reg;
  r.register_calls++;
  r.instance = instance;
  r.name = name ? name : "";
  r.a = a;
  r.b = b;
  r.c = c;
  r.acquire = acquire;
  r.handle = g().config.refuse_registration ? 0 : g().next_registration++;
  r.registered = r.handle != 0;
  return r.handle;
}

void host_unregister_driver(intptr_t handle) {
  std::lock_guard<std::mutex> l(g().mutex);
  Registration& r = g().reg;
  r.unregister_calls++;
  if (handle == r.handle) r.registered = false;
}

void host_lock(int handle) {
  Acq* a = acq_ptr(handle);
  {
    std::unique_lock<std::mutex> l(a->lock.m);
    auto self = std::this_thread::get_id();
    if (a->lock.depth > 0 && a->lock.owner == self) {
      a->lock.depth++;
    } else {
      bool got = a->lock.cv.wait_for(l, std::chrono::seconds(30), [&] { return a->lock.depth == 0; });
      if (!got) {
        std::lock_guard<std::mutex> gl(g().mutex);
        a->st.lock_errors++;
      }
      a->lock.owner = self;
      a->lock.depth = 1;
    }
  }
  note(handle, "lock");
}

void host_unlock(int handle) {
  Acq* a = acq_ptr(handle);
  bool fault = false;
  {
    std::lock_guard<std::mutex> l(a->lock.m);
    if (a->lock.depth > 0 && a->lock.owner == std::this_thread::get_id()) {
      if (--a->lock.depth == 0) {
        a->lock.owner = std::thread::id();
        a->lock.cv.notify_one();
      }
    } else {
      fault = true;
    }
  }
  std::lock_guard<std::mutex> l(g().mutex);
  if (fault) a->st.lock_errors++;
  note_locked(*a, fault ? "unlock (not held)" : "unlock");
}

int host_available_slots() {
  std::lock_guard<std::mutex> l(g().mutex);
  return g().config.max_slots - open_count_locked();
}

void host_set_thread_command(int handle, int command) {
  std::lock_guard<std::mutex> l(g().mutex);
  Acq& a = acq_locked(handle);
  a.command.store(command);
  a.st.command = command;
  note_locked(a, "command " + std::to_string(command));
  g().changed.notify_all();
}

bool host_init_acquisition(int handle, const char* name, int one, OVD_THREAD_FN thread, void* context,
                           OVD_DESTROY_FN destroy, int flags) {
  std::lock_guard<std::mutex> l(g().mutex);
  Acq& a = acq_locked(handle);
  note_locked(a, "init");
  if (a.st.initialized || !thread || !g().config.init_result) return false;
  if (open_count_locked() >= g().config.max_slots) return false;
  a.st.initialized = true;
  a.st.open = true;
  a.st.name = name ? name : "";
  a.st.one = one;
  a.st.flags = flags;
  a.st.context = context;
  a.thread_fn = thread;
  a.destroy_fn = destroy;
  g().changed.notify_all();
  return true;
}

void host_cancel_acquisition(int handle) {
  std::lock_guard<std::mutex> l(g().mutex);
  Acq& a = acq_locked(handle);
  note_locked(a, "cancel");
  a.st.cancelled = true;
  a.st.open = false;
  g().changed.notify_all();
}

void* thread_trampoline(void* arg) {
  Acq* a = static_cast<Acq*>(arg);
  pthread_setname_np(pthread_self(), "acquisition");
  uint32_t result = a->thread_fn(a->st.context);
  std::lock_guard<std::mutex> l(g().mutex);
  a->st.thread_result = result;
  a->st.thread_ended = true;
  note_locked(*a, "thread_end");
  g().changed.notify_all();
  return nullptr;
}

void push_message(Kind kind, std::string text);

void host_start_acquisition(int handle) {
  std::unique_lock<std::mutex> l(g().mutex);
  Acq& a = acq_locked(handle);
  note_locked(a, "start");
  if (!a.st.initialized || a.st.cancelled || a.st.started) return;
  a.st.started = true;
  a.command.store(0);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  // The driver's acquisition thread keeps its instrument port, with the
  // whole interface list, on its stack.
  pthread_attr_setstacksize(&attr, std::max<size_t>(g().config.thread_stack_size, PTHREAD_STACK_MIN));
  int rc = pthread_create(&a.thread, &attr, thread_trampoline, &a);
  pthread_attr_destroy(&attr);
  if (rc == 0) {
    a.thread_created = true;
  } else {
    a.st.thread_ended = true;
    l.unlock();
    push_message(Kind::failure, std::string("The acquisition thread could not be started: ") + std::strerror(rc));
    return;
  }
  g().changed.notify_all();
}

bool host_update_acquisition_parameters(int handle, KVBASE* store) {
  std::shared_ptr<const std::function<void(int)>> listener;
  {
    std::lock_guard<std::mutex> l(g().mutex);
    Acq& a = acq_locked(handle);
    note_locked(a, "update");
    if (!store || !g().config.update_result) return false;
    a.params = read_store(store);
    a.st.updates++;
    listener = g().parameters_listener;
  }
  if (listener) (*listener)(handle);
  return true;
}

void host_finish_acquisition(int handle, int how) {
  std::lock_guard<std::mutex> l(g().mutex);
  Acq& a = acq_locked(handle);
  a.st.finish = how;
  a.st.finish_calls++;
  note_locked(a, "finish " + std::to_string(how));
  g().changed.notify_all();
}

bool host_acquisition_gate(int handle) {
  std::lock_guard<std::mutex> l(g().mutex);
  Acq& a = acq_locked(handle);
  a.st.gate_calls++;
  return a.gate;
}

void host_set_thread_state(int handle, int state) {
  std::lock_guard<std::mutex> l(g().mutex);
  Acq& a = acq_locked(handle);
  a.state.store(state);
  a.st.state = state;
  note_locked(a, "state " + std::to_string(state));
  g().changed.notify_all();
}

int host_thread_command(int handle) { return acq_ptr(handle)->command.load(); }

int host_thread_state(int handle) { return acq_ptr(handle)->state.load(); }

void push_message(Kind kind, std::string text) {
  Message m{kind, std::move(text), now_micros()};
  std::shared_ptr<const std::function<void(const Message&)>> listener;
  bool echo;
  {
    std::lock_guard<std::mutex> l(g().mutex);
    if (g().messages.size() >= MAX_MESSAGES) g().messages.pop_front();
    g().messages.push_back(m);
    listener = g().message_listener;
    echo = g().config.echo;
    g().message_arrived.notify_all();
  }
  if (echo) {
    static const char* prefix[] = {"Failure", "Warning", "Status"};
    std::fprintf(stderr, "%s: %s\n", prefix[static_cast<int>(kind)], display_text(kind, m.text).c_str());
  }
  if (listener) (*listener)(m);
}

void vmessage(Kind kind, const char* format, va_list args) {
  char text[MESSAGE_SIZE];
  if (!format) format = "";
  int n = std::vsnprintf(text, sizeof text, format, args);
  if (n < 0) text[0] = 0;
  push_message(kind, text);
}

void host_failure_printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vmessage(Kind::failure, format, args);
  va_end(args);
}

void host_warning_printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vmessage(Kind::warning, format, args);
  va_end(args);
}

void host_status_printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vmessage(Kind::status, format, args);
  va_end(args);
}

bool host_alloc_timing_records(int handle) {
  std::lock_guard<std::mutex> l(g().mutex);
  Acq& a = acq_locked(handle);
  note_locked(a, "alloc_timing");
  return g().config.alloc_timing_result;
}

bool host_timing_acquisition_done(int handle) {
  std::lock_guard<std::mutex> l(g().mutex);
  Acq& a = acq_locked(handle);
  bool done = timing_done_locked(a);
  if (done) note_locked(a, "timing_done");
  return done;
}

void process_sample(int handle, int channel, double reading, bool frequency) {
  Acq* a = acq_ptr(handle);
  Sample s;
  s.reading = reading;
  s.channel = channel;
  s.frequency = frequency;
  s.micros = now_micros();
  s.locked = held_by_caller(*a);
  std::shared_ptr<const std::function<void(int, const Sample&)>> listener;
  {
    std::lock_guard<std::mutex> l(g().mutex);
    a->st.sample_count++;
    if (a->first_sample < 0) a->first_sample = s.micros;
    if (a->samples.size() < g().config.sample_retention) a->samples.push_back(s);
    listener = g().sample_listener;
    g().sample_arrived.notify_all();
  }
  if (listener) (*listener)(handle, s);
}

void host_phase_diff_sample(int handle, int channel, double reading) { process_sample(handle, channel, reading, false); }

void host_freq_sample(int handle, int channel, double reading) { process_sample(handle, channel, reading, true); }

// Exact types, so that a wrong signature fails to compile here rather than
// misbehaving in the driver.
struct Entry {
  const char* name;
  void* address;
};

#define U62_FN(name, fn) Entry{#name, reinterpret_cast<void*>(static_cast<name##_fn>(fn))}
const Entry kTable[] = {
    U62_FN(OV_register_driver, host_register_driver),
    U62_FN(OV_unregister_driver, host_unregister_driver),
    U62_FN(OV_lock, host_lock),
    U62_FN(OV_unlock, host_unlock),
    U62_FN(OV_available_slots, host_available_slots),
    U62_FN(OV_set_thread_command, host_set_thread_command),
    U62_FN(OV_init_acquisition, host_init_acquisition),
    U62_FN(OV_cancel_acquisition, host_cancel_acquisition),
    U62_FN(OV_start_acquisition, host_start_acquisition),
    U62_FN(OV_update_acquisition_parameters, host_update_acquisition_parameters),
    U62_FN(OV_finish_acquisition, host_finish_acquisition),
    U62_FN(OV_acquisition_gate, host_acquisition_gate),
    U62_FN(OV_set_thread_state, host_set_thread_state),
    U62_FN(OV_thread_command, host_thread_command),
    U62_FN(OV_thread_state, host_thread_state),
    U62_FN(OV_failure_printf, host_failure_printf),
    U62_FN(OV_warning_printf, host_warning_printf),
    U62_FN(OV_status_printf, host_status_printf),
    U62_FN(OV_alloc_timing_records, host_alloc_timing_records),
    U62_FN(OV_timing_acquisition_done, host_timing_acquisition_done),
    U62_FN(OV_process_acquired_phase_diff_sample, host_phase_diff_sample),
    U62_FN(OV_process_acquired_freq_sample, host_freq_sample),
};
#undef U62_FN

// Joins an ended thread once. Caller holds g().mutex.
void join_locked(Acq& a) {
  if (a.thread_created && !a.joined && a.st.thread_ended) {
    pthread_join(a.thread, nullptr);
    a.joined = true;
  }
}

bool wait_for(std::condition_variable& cv, int timeout_ms, const std::function<bool()>& done) {
  std::unique_lock<std::mutex> l(g().mutex);
  return cv.wait_for(l, std::chrono::milliseconds(std::max(timeout_ms, 0)), done);
}

}  // namespace

// ---- The public side ----

const std::vector<std::string>& function_names() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> v;
    for (auto& e : kTable) v.push_back(e.name);
    return v;
  }();
  return names;
}

void* application_record() { return g().app_record; }
size_t application_record_size() { return sizeof g().app_record; }

bool set_settings_folder(const std::string& folder) {
  std::string text = folder;
  if (text.empty() || text.back() != '/') text += '/';
  if (text.size() >= APP_RECORD_SIZE - FOLDER_OFFSET) return false;
  std::lock_guard<std::mutex> l(g().mutex);
  char* at = g().app_record + OV_APP_SETTINGS_FOLDER_OFFSET;
  std::memset(at, 0, APP_RECORD_SIZE - FOLDER_OFFSET);
  std::memcpy(at, text.data(), text.size());
  return true;
}

std::string settings_folder() {
  std::lock_guard<std::mutex> l(g().mutex);
  return std::string(g().app_record + OV_APP_SETTINGS_FOLDER_OFFSET);
}

OV_TIMER* timer() { return &g().timer; }

Registration registration() {
  std::lock_guard<std::mutex> l(g().mutex);
  return g().reg;
}

Config config() {
  std::lock_guard<std::mutex> l(g().mutex);
  return g().config;
}

void configure(const Config& config) {
  std::lock_guard<std::mutex> l(g().mutex);
  g().config = config;
}

int new_handle() {
  std::lock_guard<std::mutex> l(g().mutex);
  while (g().acqs.count(g().next_handle)) g().next_handle++;
  return g().next_handle++;
}

Status status(int acq) {
  std::lock_guard<std::mutex> l(g().mutex);
  auto it = g().acqs.find(acq);
  return it == g().acqs.end() ? Status{} : it->second->st;
}

std::vector<Sample> samples(int acq) {
  std::lock_guard<std::mutex> l(g().mutex);
  auto it = g().acqs.find(acq);
  return it == g().acqs.end() ? std::vector<Sample>{} : it->second->samples;
}

std::vector<Param> parameters(int acq) {
  std::lock_guard<std::mutex> l(g().mutex);
  auto it = g().acqs.find(acq);
  return it == g().acqs.end() ? std::vector<Param>{} : it->second->params;
}

std::string parameter(int acq, const std::string& key) {
  std::lock_guard<std::mutex> l(g().mutex);
  auto it = g().acqs.find(acq);
  if (it == g().acqs.end()) return "";
  const Param* p = find_param(it->second->params, key);
  return p ? p->value : "";
}

bool has_parameter(int acq, const std::string& key) {
  std::lock_guard<std::mutex> l(g().mutex);
  auto it = g().acqs.find(acq);
  return it != g().acqs.end() && find_param(it->second->params, key);
}

std::vector<Message> messages() {
  std::lock_guard<std::mutex> l(g().mutex);
  return {g().messages.begin(), g().messages.end()};
}

std::vector<Message> messages(Kind kind) {
  std::vector<Message> out;
  for (auto& m : messages())
    if (m.kind == kind) out.push_back(m);
  return out;
}

std::vector<std::string> calls(int acq) {
  std::lock_guard<std::mutex> l(g().mutex);
  auto it = g().acqs.find(acq);
  if (it == g().acqs.end()) return {};
  return {it->second->calls.begin(), it->second->calls.end()};
}

void set_thread_command(int acq, int command) {
  std::lock_guard<std::mutex> l(g().mutex);
  Acq& a = acq_locked(acq);
  // A stop asked for after a failure must not turn the abort back into a
  // normal end, which would send the closing commands down a broken line.
  if (a.command.load() == OV_CMD_ABORT && command == OV_CMD_STOP) {
    note_locked(a, "host command 4 (aborting already)");
    return;
  }
  a.command.store(command);
  a.st.command = command;
  note_locked(a, "host command " + std::to_string(command));
  g().changed.notify_all();
}

int thread_command(int acq) { return acq_ptr(acq)->command.load(); }
int thread_state(int acq) { return acq_ptr(acq)->state.load(); }

void set_gate(int acq, bool open) {
  std::lock_guard<std::mutex> l(g().mutex);
  acq_locked(acq).gate = open;
}

bool timing_done(int acq) {
  std::lock_guard<std::mutex> l(g().mutex);
  return timing_done_locked(acq_locked(acq));
}

bool wait_samples(int acq, size_t count, int timeout_ms) {
  return wait_for(g().sample_arrived, timeout_ms, [&] {
    auto it = g().acqs.find(acq);
    return it != g().acqs.end() && it->second->st.sample_count >= count;
  });
}

bool wait_thread_end(int acq, int timeout_ms) {
  return wait_for(g().changed, timeout_ms, [&] {
    auto it = g().acqs.find(acq);
    return it != g().acqs.end() && it->second->st.thread_ended;
  });
}

bool wait_started(int acq, int timeout_ms) {
  return wait_for(g().changed, timeout_ms, [&] {
    auto it = g().acqs.find(acq);
    return it != g().acqs.end() && it->second->st.started;
  });
}

bool wait_message(Kind kind, const std::string& part, int timeout_ms) {
  return wait_for(g().message_arrived, timeout_ms, [&] {
    for (auto& m : g().messages)
      if (m.kind == kind && m.text.find(part) != std::string::npos) return true;
    return false;
  });
}

bool close_acquisition(int acq, int timeout_ms) {
  OVD_DESTROY_FN destroy = nullptr;
  void* context = nullptr;
  {
    std::unique_lock<std::mutex> l(g().mutex);
    auto it = g().acqs.find(acq);
    if (it == g().acqs.end()) return true;
    Acq& a = *it->second;
    if (a.st.started && !g().changed.wait_for(l, std::chrono::milliseconds(std::max(timeout_ms, 0)),
                                               [&] { return a.st.thread_ended; }))
      return false;
    join_locked(a);
    if (a.st.started && !a.st.cancelled && !a.st.destroyed && a.destroy_fn) {
      destroy = a.destroy_fn;
      context = a.st.context;
      a.st.destroyed = true;
    }
    a.st.open = false;
    note_locked(a, "close");
  }
  // Outside the host's lock: the driver's destructor may call back in.
  if (destroy) destroy(context);
  return true;
}

bool reset(int timeout_ms) {
  std::vector<int> handles;
  {
    std::lock_guard<std::mutex> l(g().mutex);
    for (auto& [h, a] : g().acqs) {
      handles.push_back(h);
      if (a->st.started && !a->st.thread_ended) a->command.store(OV_CMD_ABORT);
    }
  }
  bool all = true;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (int h : handles) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (!close_acquisition(h, static_cast<int>(std::max<int64_t>(left.count(), 0)))) all = false;
  }
  std::lock_guard<std::mutex> l(g().mutex);
  for (auto it = g().acqs.begin(); it != g().acqs.end();) {
    Acq& a = *it->second;
    if (!a.st.started || a.st.thread_ended)
      it = g().acqs.erase(it);
    else
      ++it;
  }
  g().messages.clear();
  g().reg = Registration{};
  g().config = Config{};
  g().sample_listener = nullptr;
  g().message_listener = nullptr;
  g().parameters_listener = nullptr;
  return all;
}

void on_sample(std::function<void(int, const Sample&)> listener) {
  std::lock_guard<std::mutex> l(g().mutex);
  g().sample_listener = listener ? std::make_shared<const std::function<void(int, const Sample&)>>(std::move(listener)) : nullptr;
}

void on_message(std::function<void(const Message&)> listener) {
  std::lock_guard<std::mutex> l(g().mutex);
  g().message_listener = listener ? std::make_shared<const std::function<void(const Message&)>>(std::move(listener)) : nullptr;
}

void on_parameters(std::function<void(int)> listener) {
  std::lock_guard<std::mutex> l(g().mutex);
  g().parameters_listener = listener ? std::make_shared<const std::function<void(int)>>(std::move(listener)) : nullptr;
}

std::string display_text(Kind kind, const std::string& text) {
  std::string out = text;
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  if (kind == Kind::failure && out.find("ibfind") == std::string::npos) {
    for (char& c : out)
      if (static_cast<signed char>(c) < 32) c = ' ';
  }
  return out;
}

std::vector<Param> read_store(const KVBASE* store, size_t max_entries) {
  std::vector<Param> out;
  if (!store) return out;
  // The store is bare memory from another build: its container sits right
  // after the virtual table pointer, and only plain data is touched. No
  // member of the store's class is used, not even for access.
  static_assert(alignof(HASHLIST) <= sizeof(void*), "the container follows the table pointer without a gap");
  const HASHLIST* list = reinterpret_cast<const HASHLIST*>(reinterpret_cast<const char*>(store) + sizeof(void*));
  const KVDLGFIELD* e = list->entries.first;
  while (e && out.size() < max_entries) {
    Param p;
    if (e->key) p.key.assign(e->key, strnlen(e->key, 65536));
    if (e->value) p.value.assign(e->value, strnlen(e->value, 65536));
    p.type = e->type;
    p.flags = e->flags;
    p.attr = e->attr;
    out.push_back(std::move(p));
    e = e->next;
  }
  return out;
}

double parse_number(const std::string& text) {
  // Spaces go unless only spaces follow them, as the store reads numbers.
  std::string s;
  size_t last = text.find_last_not_of(' ');
  for (size_t i = 0; i < text.size(); i++)
    if (text[i] != ' ' || (last == std::string::npos || i > last)) s += text[i];
  auto read = [](const char* p, double fallback) {
    double v;
    return std::sscanf(p, "%lf", &v) == 1 ? v : fallback;
  };
  size_t slash = s.find('/');
  if (slash != std::string::npos) {
    double num = read(s.c_str(), 0), den = read(s.c_str() + slash + 1, 1);
    return std::fabs(den) < 1e-30 ? 0 : num / den;
  }
  size_t star = s.find('*');
  if (star != std::string::npos) return read(s.c_str(), 0) * read(s.c_str() + star + 1, 0);
  return read(s.c_str(), 0);
}

}  // namespace ovhost

extern "C" void* host_resolve(const char* name) {
  if (!name) return nullptr;
  for (auto& e : ovhost::kTable)
    if (!std::strcmp(e.name, name)) return e.address;
  return nullptr;
}
