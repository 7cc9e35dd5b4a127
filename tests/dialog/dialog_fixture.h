// What the dialog tests share: a stand-in host that records its status and
// failure lines, a host timer the test moves, message boxes caught, and a
// small machine of COM ports (device links and a sysfs tree).
#pragma once
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dialog/headless_surface.h"
#include "dialog/monitor_block.h"
#include "dialog/setup_dialog.h"
#include "dialog/template.h"
#include "driver/context.h"
#include "driver/host_binding.h"

// The host's side: every line the driver printed, by kind.
struct HOST_RECORD {
  std::mutex lock;
  std::condition_variable changed;
  std::vector<std::string> status;
  std::vector<std::string> failures;
  std::vector<std::string> boxes;  // "caption|text"
  // While set, the host's status function does not return from this text
  // until release() (at most 15 s): a host stuck in a modal message.
  std::string hold_on;
  bool released = false;

  void clear();
  void release();
  bool has_status(const std::string& text);
  bool has_failure(const std::string& text);
  bool wait_status(const std::string& text, std::chrono::milliseconds timeout);
  bool wait_failure(const std::string& text, std::chrono::milliseconds timeout);
  std::vector<std::string> statuses();
};
HOST_RECORD& host_record();

// The host timer: virtual (moved by the test) unless real is set.
struct TEST_TIMER : OV_TIMER {
  std::atomic<int64_t> now{5000000};
  std::atomic<bool> real{false};
  int64_t microseconds() override {
    if (!real) return now.load();
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
};
TEST_TIMER& test_timer();

// Binds the stand-in host functions, the timer and the message box catcher.
void install_test_host();

// A loopback address of the running test's own, so that tests running side
// by side never meet each other's interface marks.
std::string test_loopback_address();

class DialogTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A COM port: comN links to a file named device_name, described in sysfs
  // by its USB product text; an FTDI vendor number makes it an FTDI port.
  void add_com_port(int n, const std::string& device_name, const std::string& product, bool ftdi);
  // The same for an existing device (a pseudo-terminal's slave).
  void add_com_device(int n, const std::string& device_path, bool ftdi);
  // Only the sysfs description of an existing device.
  void describe_device(const std::string& device_path, bool ftdi);
  std::string selected_text();
  void open_dialog();
  // Moves virtual time and the host timer together in 10 ms steps.
  void step(int ms);
  // Runs the dialog in virtual time while real time passes, until pred
  // holds or timeout_ms of real time have gone.
  template <class PRED>
  bool pump_until(PRED pred, int timeout_ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!pred()) {
      if (std::chrono::steady_clock::now() > end) return false;
      step(10);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }
  std::string text(int id) { return surface->text(id); }
  KVDLGFIELD* entry(const char* key) { return context->store.lookup(key); }
  std::string value(const char* key) {
    KVDLGFIELD* e = entry(key);
    return e ? e->str() : "<missing>";
  }
  void set_value(const char* key, const char* text) { entry(key)->set_str(text); }
  MONITOR_BLOCK* block() { return monitor_block_of(context); }
  int list_index(const char* prefix) { return surface->find_prefix(IDC_INTERFACE_LIST, prefix); }

  std::string root;
  ACQ_CONTEXT* context = nullptr;
  std::unique_ptr<HEADLESS_SURFACE> surface;
};
