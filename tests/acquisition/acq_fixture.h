// What the acquisition tests share: the driver bound to the stand-in host,
// acquisitions started through the real acquire command (no dialog, no
// settings file), and a scripted counter on loopback TCP for replies that
// no well-behaved simulator would send.
#pragma once
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "driver/acquisition.h"
#include "driver/driver.h"
#include "driver/host_binding.h"
#include "host/host.h"
#include "host/host_store.h"

namespace acqtest {

using Params = std::vector<std::pair<std::string, std::string>>;

const char* const TRIGGER_LINE = "INIT;*WAI;FETCH?\r\n";

inline int count_of(const std::string& haystack, const std::string& needle) {
  int n = 0;
  for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + needle.size())) n++;
  return n;
}

inline bool wait_until(const std::function<bool()>& condition, int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

inline std::vector<double> readings(int acq) {
  std::vector<double> out;
  for (const auto& s : ovhost::samples(acq)) out.push_back(s.reading);
  return out;
}

inline std::vector<std::string> failures() {
  std::vector<std::string> out;
  for (const auto& m : ovhost::messages(ovhost::Kind::failure)) out.push_back(m.text);
  return out;
}

// The host calls of an acquisition from index `from` on.
inline std::vector<std::string> calls_from(int acq, size_t from) {
  auto all = ovhost::calls(acq);
  if (from > all.size()) from = all.size();
  return {all.begin() + static_cast<long>(from), all.end()};
}

inline std::vector<std::string> tail(const std::vector<std::string>& calls, size_t n) {
  if (calls.size() < n) return calls;
  return {calls.end() - static_cast<long>(n), calls.end()};
}

// Notes how many host calls the watched acquisition had received when the
// first failure message arrived, so that a test can check what followed.
// The listener captures nothing, so a late message can never reach a test
// that has already returned.
inline std::atomic<int> g_watched{0};
inline std::atomic<long> g_failure_at{-1};
inline void watch_failures(int acq) {
  g_failure_at = -1;
  g_watched = acq;
  ovhost::on_message([](const ovhost::Message& m) {
    long none = -1;
    if (m.kind == ovhost::Kind::failure)
      g_failure_at.compare_exchange_strong(none, static_cast<long>(ovhost::calls(g_watched).size()));
  });
}
// The calls that followed the first failure message.
inline std::vector<std::string> calls_after_failure(int acq) {
  if (g_failure_at < 0) return {"(no failure)"};
  return calls_from(acq, static_cast<size_t>(g_failure_at.load()));
}

// Binds the driver's host functions to the stand-in host through its
// resolver, as the module's start-up does, and ends every acquisition a
// test leaves behind.
class HostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    use_private_marks();
    ASSERT_TRUE(ovhost::reset());
    ovhost::Config c = ovhost::config();
    c.echo = false;
    configure(c);
    ASSERT_EQ(driver_startup(host_resolve, ovhost::application_record(), ovhost::timer(), acquire_command), 1);
  }
  void TearDown() override {
    for (int acq : started_) {
      if (!ovhost::status(acq).thread_ended) ovhost::set_thread_command(acq, OV_CMD_ABORT);
      EXPECT_TRUE(ovhost::close_acquisition(acq, 15000)) << "acquisition " << acq << " did not end";
    }
    driver_shutdown();
    EXPECT_TRUE(ovhost::reset());
  }
  virtual void configure(ovhost::Config& c) { ovhost::configure(c); }

  // Every loopback connection marks the same interface name, "127.0.0.1",
  // so test processes that run side by side keep their marks apart.
  static void use_private_marks() {
    static bool done = false;
    if (done) return;
    done = true;
    const char* base = std::getenv("ORVANE_MARK_DIR");
    std::string dir = base && *base ? base : "/tmp/orvane-test-marks";
    mkdir(dir.c_str(), 0777);
    dir += "/acquisition-" + std::to_string(getpid());
    mkdir(dir.c_str(), 0777);
    setenv("ORVANE_MARK_DIR", dir.c_str(), 1);
  }

  // Starts an acquisition through the acquire command with these values in
  // the host's store; answers its handle (0 when the command refused).
  int start(const Params& params, int handle = 0) {
    ovhost::HostStore store;
    for (const auto& [key, value] : params) store.put(key, value);
    int acq = handle ? handle : ovhost::new_handle();
    if (!acquire_command(acq, nullptr, store.kvbase(), OVD_FLAG_NO_DIALOG | OVD_FLAG_NO_LOAD | OVD_FLAG_NO_SAVE))
      return 0;
    started_.push_back(acq);
    return acq;
  }

  // Stop or abort from the host's side; true when the thread ended.
  bool command_and_wait(int acq, int command, int timeout_ms = 15000) {
    ovhost::set_thread_command(acq, command);
    return ovhost::wait_thread_end(acq, timeout_ms);
  }

  std::vector<int> started_;
};

// A counter on loopback TCP that answers each trigger or "*IDN?" with the
// next entry of its script, sent as one write. An entry may hold several
// pieces with pauses between them. When the script is used up it stays
// silent. It keeps every byte it received.
class SCRIPTED_COUNTER {
 public:
  struct Piece {
    std::string bytes;
    int pause_before_ms = 0;
  };
  using Entry = std::vector<Piece>;

  explicit SCRIPTED_COUNTER(std::vector<Entry> script) : script_(std::move(script)) {
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int one = 1;
    setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && listen(listen_fd_, 2) == 0) {
      socklen_t len = sizeof addr;
      getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
      port_ = ntohs(addr.sin_port);
    }
    thread_ = std::thread([this] { serve(); });
  }
  // Single-line entries, one per trigger.
  static std::vector<Entry> lines(const std::vector<std::string>& replies) {
    std::vector<Entry> out;
    for (const auto& r : replies) out.push_back({{r, 0}});
    return out;
  }
  ~SCRIPTED_COUNTER() {
    stop_ = true;
    thread_.join();
    if (listen_fd_ >= 0) close(listen_fd_);
  }
  uint16_t port() const { return port_; }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
  std::string received() {
    std::lock_guard<std::mutex> l(mutex_);
    return received_;
  }
  size_t answered() const { return next_; }

 private:
  void serve() {
    int client = -1;
    std::string line;
    while (!stop_) {
      pollfd p{client >= 0 ? client : listen_fd_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
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
      {
        std::lock_guard<std::mutex> l(mutex_);
        if (received_.size() < (1u << 20)) received_.append(buffer, static_cast<size_t>(n));
      }
      for (ssize_t i = 0; i < n; i++) {
        if (buffer[i] != '\n') {
          if (line.size() < 4096) line += buffer[i];
          continue;
        }
        bool asks = line.find("FETCH?") != std::string::npos || line.find("*IDN?") != std::string::npos;
        line.clear();
        if (!asks || next_ >= script_.size()) continue;
        for (const Piece& piece : script_[next_]) {
          for (int waited = 0; waited < piece.pause_before_ms && !stop_; waited += 10)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
          send(client, piece.bytes.data(), piece.bytes.size(), MSG_NOSIGNAL);
        }
        next_++;
      }
    }
    if (client >= 0) close(client);
  }

  std::vector<Entry> script_;
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<size_t> next_{0};
  std::mutex mutex_;
  std::string received_;
  std::thread thread_;
};

}  // namespace acqtest
