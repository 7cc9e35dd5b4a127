// Real peers for the byte-stream tests: pseudo-terminals whose master the
// test holds, loopback TCP listeners, and a message box recorder.
#pragma once
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/msgbox.h"

namespace u62test {

struct BOX {
  std::string caption;
  std::string text;
};

// Records every message box instead of writing it out.
class BoxRecorder {
 public:
  BoxRecorder() { plat_set_message_box_handler(&record, this); }
  ~BoxRecorder() { plat_set_message_box_handler(nullptr, nullptr); }
  std::vector<BOX> boxes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return boxes_;
  }
  size_t count() { return boxes().size(); }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    boxes_.clear();
  }

 private:
  static int record(const char* text, const char* caption, unsigned, void* user) {
    auto* self = static_cast<BoxRecorder*>(user);
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->boxes_.push_back({caption, text});
    return PLAT_IDOK;
  }
  std::mutex mutex_;
  std::vector<BOX> boxes_;
};

inline int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// A pseudo-terminal pair: the test holds the master, the block opens the
// slave by its path.
class Pty {
 public:
  Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    const char* name = ptsname(master_);
    if (name) slave_ = name;
  }
  ~Pty() { close_master(); }
  bool ok() const { return master_ >= 0 && !slave_.empty(); }
  int master() const { return master_; }
  const std::string& slave() const { return slave_; }
  void close_master() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }
  bool put(const std::string& bytes) { return put(bytes.data(), bytes.size()); }
  bool put(const void* data, size_t length) {
    const char* p = static_cast<const char*>(data);
    while (length > 0) {
      ssize_t n = ::write(master_, p, length);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      p += n;
      length -= static_cast<size_t>(n);
    }
    return true;
  }
  // What the block wrote, waiting at most wait_ms for the first bytes and
  // taking what follows within 50 ms.
  std::string take(int wait_ms) {
    std::string got;
    int wait = wait_ms;
    for (;;) {
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, wait) <= 0) return got;
      char buf[4096];
      ssize_t n = ::read(master_, buf, sizeof buf);
      if (n <= 0) return got;
      got.append(buf, static_cast<size_t>(n));
      wait = 50;
    }
  }

 private:
  int master_ = -1;
  std::string slave_;
};

// A temporary devices folder in which comN points at a device.
class DevicesDir {
 public:
  DevicesDir() {
    char tmpl[] = "/tmp/u62-comblock-XXXXXX";
    if (mkdtemp(tmpl)) dir_ = tmpl;
    setenv("ORVANE_DEVICES", dir_.c_str(), 1);
  }
  ~DevicesDir() {
    for (const std::string& l : links_) unlink(l.c_str());
    rmdir(dir_.c_str());
    unsetenv("ORVANE_DEVICES");
  }
  bool link(int n, const std::string& target) {
    std::string path = dir_ + "/com" + std::to_string(n);
    links_.push_back(path);
    return symlink(target.c_str(), path.c_str()) == 0;
  }
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
  std::vector<std::string> links_;
};

// A loopback TCP listener on a free port.
class Listener {
 public:
  explicit Listener(int backlog = 8) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd_, backlog) != 0) return;
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~Listener() {
    if (fd_ >= 0) ::close(fd_);
  }
  int port() const { return port_; }
  std::string descriptor() const { return "127.0.0.1:" + std::to_string(port_); }
  // Accepts one connection, waiting at most wait_ms; -1 when none came.
  int accept_one(int wait_ms = 2000) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, wait_ms) <= 0) return -1;
    return accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// A loopback port on which nothing listens.
inline int closed_port() {
  Listener l;
  return l.port();  // the listener closes as it goes
}

inline bool send_all(int fd, const void* data, size_t length) {
  const char* p = static_cast<const char*>(data);
  while (length > 0) {
    ssize_t n = ::send(fd, p, length, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

inline std::string recv_some(int fd, int wait_ms) {
  std::string got;
  int wait = wait_ms;
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, wait) <= 0) return got;
    char buf[4096];
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return got;
    got.append(buf, static_cast<size_t>(n));
    wait = 50;
  }
}

}  // namespace u62test
