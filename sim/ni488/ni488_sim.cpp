// The stand-in GPIB library: boards GPIB0 .. GPIB(n-1) and one simulated
// counter at one primary address. It speaks the library's calls, status
// word and error codes as the driver relies on them, and keeps a log of the
// calls it received so that tests can see what the driver asked for.
//
// Configuration, read when the library loads and again at u62sim_ni_reset():
//   U62_NI_SIM_BOARDS   number of boards (default 1)
//   U62_NI_SIM_ADDRESS  the counter's primary address (default 3)
//   U62_NI_SIM_FAULT    comma-separated faults: write_edvr, write_abort,
//                       read_edvr, pad_fails, clr_fails, dev_fails
//   U62_NI_SIM_MODE     "ti" for time-interval readings (default frequency)
//   U62_NI_SIM_GATE_MS  measurement time of one reading (default 100)
//   U62_NI_SIM_NUMBERED 1: numbered readings, so that a test can count them
#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <strings.h>
#include <thread>

#include "sim/counter_model.h"

#define U62_EXPORT extern "C" __attribute__((visibility("default")))

extern "C" {
__attribute__((visibility("default"))) int ibsta = 0;
__attribute__((visibility("default"))) int iberr = 0;
__attribute__((visibility("default"))) int ibcnt = 0;
__attribute__((visibility("default"))) long ibcntl = 0;
}

namespace {

enum {
  ERR = 0x8000,
  TIMO = 0x4000,
  END = 0x2000,
  CMPL = 0x0100,
  CIC = 0x0020,
  EDVR = 0,
  ENOL = 2,
  EARG = 4,
  EABO = 6,
  ENEB = 7,
  MAX_DEVICES = 32,
  DEVICE_BASE = 100,
  // A time-out of "none" or of many seconds is cut so that nothing hangs.
  LONGEST_WAIT_MS = 10000,
};

struct DESCRIPTOR {
  bool used = false;
  int board = 0;
  int pad = 0;
  int tmo = 13;
  int eos_read = 0;
  int eos_char = 0;
  int eot = 1;
};

struct STATE {
  std::mutex mutex;
  int boards = 1;
  int sim_address = 3;
  std::string faults;
  DESCRIPTOR board[8];
  DESCRIPTOR device[MAX_DEVICES];
  std::string pending;  // bytes of the current reply not yet read
  std::string log;
  std::unique_ptr<u62sim::CounterModel> model;

  void configure() {
    const char* b = std::getenv("U62_NI_SIM_BOARDS");
    const char* a = std::getenv("U62_NI_SIM_ADDRESS");
    const char* f = std::getenv("U62_NI_SIM_FAULT");
    boards = std::clamp(b ? std::atoi(b) : 1, 0, 8);
    sim_address = a ? std::atoi(a) : 3;
    faults = f ? f : "";
    for (auto& d : board) d = DESCRIPTOR{};
    for (auto& d : device) d = DESCRIPTOR{};
    pending.clear();
    log.clear();
    u62sim::ModelOptions options;
    const char* mode = std::getenv("U62_NI_SIM_MODE");
    const char* gate = std::getenv("U62_NI_SIM_GATE_MS");
    const char* numbered = std::getenv("U62_NI_SIM_NUMBERED");
    if (mode && std::strcmp(mode, "ti") == 0) options.mode = u62sim::CounterMode::TimeInterval;
    if (gate) options.measurement_time = std::chrono::milliseconds(std::clamp(std::atoi(gate), 0, 100000));
    options.numbered = numbered && std::atoi(numbered) != 0;
    model = std::make_unique<u62sim::CounterModel>(options);
  }
  bool fault(const char* name) const { return faults.find(name) != std::string::npos; }
};

STATE& state() {
  static STATE* s = [] {
    auto* st = new STATE;
    st->configure();
    return st;
  }();
  return *s;
}

void note(STATE& s, const char* format, ...) __attribute__((format(printf, 2, 3)));
void note(STATE& s, const char* format, ...) {
  char line[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (s.log.size() < 1 << 20) {
    s.log += line;
    s.log += '\n';
  }
}

int finish(int status, int error = 0, long count = 0) {
  ibsta = status;
  if (status & ERR) iberr = error;
  ibcntl = count;
  ibcnt = static_cast<int>(count);
  return ibsta;
}

DESCRIPTOR* lookup(STATE& s, int ud, bool* is_board) {
  *is_board = false;
  if (ud >= 0 && ud < s.boards && s.board[ud].used) {
    *is_board = true;
    return &s.board[ud];
  }
  if (ud >= DEVICE_BASE && ud < DEVICE_BASE + MAX_DEVICES && s.device[ud - DEVICE_BASE].used)
    return &s.device[ud - DEVICE_BASE];
  return nullptr;
}

int nominal_ms(int code) {
  static const int ms[18] = {LONGEST_WAIT_MS, 1, 1, 1, 1, 1, 3, 10, 30, 100, 300, 1000, 3000, 10000, 30000,
                             100000, 300000, 1000000};
  if (code < 0 || code > 17) return LONGEST_WAIT_MS;
  return std::min(ms[code], static_cast<int>(LONGEST_WAIT_MS));
}

bool counter_at(STATE& s, const DESCRIPTOR* d, bool is_board) { return !is_board && d->pad == s.sim_address; }

}  // namespace

U62_EXPORT int ibfind(const char* name) {
  STATE& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  note(s, "ibfind %s", name ? name : "(null)");
  int index = -1;
  if (name && (name[0] == 'G' || name[0] == 'g') && strncasecmp(name, "GPIB", 4) == 0 && name[4] >= '0' &&
      name[4] <= '9') {
    char* end = nullptr;
    long n = std::strtol(name + 4, &end, 10);
    if (*end == '\0' && n < s.boards) index = static_cast<int>(n);
  }
  if (index < 0) {
    finish(ERR, EDVR, 2);
    return -1;
  }
  s.board[index] = DESCRIPTOR{};
  s.board[index].used = true;
  s.board[index].board = index;
  finish(CMPL | CIC);
  return index;
}

U62_EXPORT int ibdev(int board_index, int pad, int sad, int tmo, int eot, int eos) {
  STATE& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  note(s, "ibdev %d %d %d %d %d %d", board_index, pad, sad, tmo, eot, eos);
  if (board_index < 0 || board_index >= s.boards) {
    finish(ERR, ENEB);
    return -1;
  }
  if (pad < 0 || pad > 30 || tmo < 0 || tmo > 17 || s.fault("dev_fails")) {
    finish(ERR, EARG);
    return -1;
  }
  for (int i = 0; i < MAX_DEVICES; ++i) {
    if (!s.device[i].used) {
      s.device[i] = DESCRIPTOR{true, board_index, pad, tmo, (eos >> 10) & 1, eos & 0xFF, eot};
      finish(CMPL);
      return DEVICE_BASE + i;
    }
  }
  finish(ERR, EDVR);
  return -1;
}

U62_EXPORT int ibconfig(int ud, int option, int value) {
  STATE& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  note(s, "ibconfig %d %d %d", ud, option, value);
  bool is_board;
  DESCRIPTOR* d = lookup(s, ud, &is_board);
  if (!d) return finish(ERR, EDVR);
  switch (option) {
    case 1:  // IbcPAD
      if (s.fault("pad_fails") || value < 0 || value > 30) return finish(ERR, EARG);
      d->pad = value;
      break;
    case 3:  // IbcTMO
      if (value < 0 || value > 17) return finish(ERR, EARG);
      d->tmo = value;
      break;
    case 4:
      d->eot = value;
      break;
    case 12:
      d->eos_read = value != 0;
      break;
    case 15:
      d->eos_char = value & 0xFF;
      break;
    default:
      break;
  }
  return finish(CMPL | (is_board ? CIC : 0));
}

U62_EXPORT int ibonl(int ud, int online) {
  STATE& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  note(s, "ibonl %d %d", ud, online);
  bool is_board;
  DESCRIPTOR* d = lookup(s, ud, &is_board);
  if (!d) return finish(ERR, EDVR);
  if (!online) d->used = false;
  return finish(CMPL);
}

U62_EXPORT int ibloc(int ud) {
  STATE& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  note(s, "ibloc %d", ud);
  bool is_board;
  DESCRIPTOR* d = lookup(s, ud, &is_board);
  if (!d) return finish(ERR, EDVR);
  if (counter_at(s, d, is_board)) s.model->go_to_local();
  return finish(CMPL);
}

U62_EXPORT int ibclr(int ud) {
  STATE& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  note(s, "ibclr %d", ud);
  bool is_board;
  DESCRIPTOR* d = lookup(s, ud, &is_board);
  if (!d || is_board) return finish(ERR, d ? EARG : EDVR);
  if (s.fault("clr_fails") || !counter_at(s, d, is_board)) return finish(ERR, ENOL);
  s.pending.clear();
  s.model->device_clear(u62sim::Clock::now());
  return finish(CMPL);
}

U62_EXPORT int ibwrt(int ud, const void* data, long count) {
  STATE& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  note(s, "ibwrt %d %ld", ud, count);
  bool is_board;
  DESCRIPTOR* d = lookup(s, ud, &is_board);
  if (!d) return finish(ERR, EDVR);
  if (s.fault("write_edvr")) return finish(ERR, EDVR);
  if (s.fault("write_abort")) return finish(ERR | TIMO, EABO);
  if (!counter_at(s, d, is_board)) return finish(ERR, ENOL);
  if (count < 0 || (count > 0 && !data)) return finish(ERR, EARG);
  s.model->set_remote();
  s.model->write(std::string_view(static_cast<const char*>(data), static_cast<size_t>(count)),
                 u62sim::Clock::now(), d->eot != 0);
  return finish(CMPL, 0, count);
}

U62_EXPORT int ibrd(int ud, void* buffer, long count) {
  STATE& s = state();
  std::unique_lock<std::mutex> lock(s.mutex);
  note(s, "ibrd %d %ld", ud, count);
  bool is_board;
  DESCRIPTOR* d = lookup(s, ud, &is_board);
  if (!d) return finish(ERR, EDVR);
  if (count < 0 || (count > 0 && !buffer)) return finish(ERR, EARG);
  int wait_ms = nominal_ms(d->tmo);
  if (!counter_at(s, d, is_board)) {
    // Nobody talks: the read runs into its time-out.
    lock.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
    return finish(ERR | TIMO, EABO);
  }
  if (s.pending.empty()) {
    std::string reply;
    auto deadline = u62sim::Clock::now() + std::chrono::milliseconds(wait_ms);
    // The model waits on its own lock; ours is not held meanwhile.
    u62sim::CounterModel* model = s.model.get();
    lock.unlock();
    bool got = model->wait_reply(deadline, reply);
    lock.lock();
    if (!got) return finish(ERR | TIMO, EABO);
    s.pending += reply;
    s.pending += '\n';
  }
  long n = 0;
  bool ended = false;
  char* out = static_cast<char*>(buffer);
  while (n < count && !s.pending.empty()) {
    char c = s.pending.front();
    s.pending.erase(0, 1);
    out[n++] = c;
    if (s.pending.empty() || (d->eos_read && static_cast<unsigned char>(c) == d->eos_char)) {
      ended = true;
      break;
    }
  }
  if (s.fault("read_edvr")) return finish(ERR, EDVR, n);
  return finish(CMPL | (ended ? END : 0), 0, n);
}

U62_EXPORT int ibwait(int ud, int mask) {
  STATE& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  note(s, "ibwait %d %d", ud, mask);
  bool is_board;
  DESCRIPTOR* d = lookup(s, ud, &is_board);
  if (!d) return finish(ERR, EDVR);
  return finish(CMPL | (is_board ? CIC : 0), 0, ibcntl);
}

U62_EXPORT int ibrsp(int ud, char* status_byte) {
  STATE& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  note(s, "ibrsp %d", ud);
  bool is_board;
  DESCRIPTOR* d = lookup(s, ud, &is_board);
  if (!d || is_board || !status_byte) return finish(ERR, d ? EARG : EDVR);
  if (!counter_at(s, d, is_board)) return finish(ERR, ENOL);
  *status_byte = static_cast<char>(s.model->status_byte() | (s.pending.empty() ? 0 : 0x10));
  return finish(CMPL, 0, 1);
}

U62_EXPORT int ThreadIbsta() { return ibsta; }
U62_EXPORT int ThreadIberr() { return iberr; }
U62_EXPORT int ThreadIbcnt() { return ibcnt; }
U62_EXPORT long ThreadIbcntl() { return ibcntl; }

// Test access, outside the library's own interface.

// Reads the configuration again and starts a fresh counter and log.
U62_EXPORT void u62sim_ni_reset() {
  STATE& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.configure();
}

// Copies the call log ("ibfind GPIB0\nibdev 0 3 0 12 1 0\n...") into out;
// answers its full length.
U62_EXPORT long u62sim_ni_calls(char* out, long size) {
  STATE& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (out && size > 0) std::snprintf(out, static_cast<size_t>(size), "%s", s.log.c_str());
  return static_cast<long>(s.log.size());
}

// Copies the counter's transcript, one message a line, into out; answers
// its full length.
U62_EXPORT long u62sim_ni_transcript(char* out, long size) {
  STATE& s = state();
  std::string all;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    for (const std::string& line : s.model->transcript()) all += line + "\n";
  }
  if (out && size > 0) std::snprintf(out, static_cast<size_t>(size), "%s", all.c_str());
  return static_cast<long>(all.size());
}
