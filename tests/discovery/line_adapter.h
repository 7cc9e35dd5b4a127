// A stand-in Prologix adapter on the far end of a pseudo-terminal or a
// loopback TCP connection: it reads command lines and answers "++ver" the
// way the real adapters do, or keeps silent, or floods the line.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

class LineAdapter {
 public:
  enum Mode {
    ANSWER,        // answers every "++ver"
    ANSWER_SECOND, // ignores the first "++ver", answers the next
    SILENT,        // answers nothing
    FLOOD,         // sends readings until it receives a blank after "++mode 1"
    HANG_UP,       // TCP only: closes each connection as soon as it comes
  };

  explicit LineAdapter(Mode mode, std::string version = "Prologix GPIB-USB Controller version 6.107")
      : mode_(mode), version_(std::move(version)) {}

  ~LineAdapter() { stop(); }

  // A pseudo-terminal; answers the slave's path, or "" when none can be had.
  std::string open_pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return "";
    const char* name = ptsname(master_);
    if (!name) return "";
    path_ = name;
    // Holding the slave open keeps the master readable while the probe
    // opens and closes its side; raw mode keeps the flood from echoing.
    slave_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (slave_ < 0) return "";
    termios t;
    tcgetattr(slave_, &t);
    cfmakeraw(&t);
    tcsetattr(slave_, TCSANOW, &t);
    io_ = master_;
    thread_ = std::thread([this] { serve(); });
    return path_;
  }

  // A listening socket on 127.0.0.1; answers its port, or 0.
  int listen_tcp() {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sin;
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0 ||
        listen(listener_, 4) != 0 || getsockname(listener_, reinterpret_cast<sockaddr*>(&sin), &len) != 0)
      return 0;
    thread_ = std::thread([this] { serve(); });
    return ntohs(sin.sin_port);
  }

  void stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    for (int* fd : {&slave_, &master_, &listener_, &conn_}) {
      if (*fd >= 0) ::close(*fd);
      *fd = -1;
    }
  }

  std::string received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }
  int version_queries() const { return queries_; }

 private:
  void serve() {
    std::string line;
    bool flooding = mode_ == FLOOD;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!stop_ && std::chrono::steady_clock::now() < deadline) {
      if (listener_ >= 0 && conn_ < 0) {
        pollfd p{listener_, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) continue;
        conn_ = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (conn_ >= 0 && mode_ == HANG_UP) {
          ::close(conn_);
          conn_ = -1;
        }
        io_ = conn_;
        continue;
      }
      if (flooding) {
        const char reading[] = "+1.00000000012345E+07\n";
        if (::write(io_, reading, sizeof reading - 1) < 0 && errno != EAGAIN) {}
      }
      pollfd p{io_, POLLIN, 0};
      int ready = poll(&p, 1, flooding ? 1 : 20);
      if (ready <= 0) continue;
      char buf[512];
      ssize_t n = ::read(io_, buf, sizeof buf);
      if (n == 0 && conn_ >= 0) {  // the client went away
        ::close(conn_);
        conn_ = io_ = -1;
        continue;
      }
      if (n <= 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        continue;
      }
      std::lock_guard<std::mutex> lock(mutex_);
      for (ssize_t i = 0; i < n; ++i) {
        char c = buf[i];
        received_ += c;
        // The blank inside "mode 1" comes before the whole command is in.
        if (flooding && c == ' ' && received_.find("++mode 1") != std::string::npos) flooding = false;
        if (c == '\r') continue;
        if (c != '\n') {
          line += c;
          continue;
        }
        if (line == "++ver") answer_version();
        line.clear();
      }
    }
  }

  void answer_version() {
    ++queries_;
    if (mode_ == SILENT || (mode_ == ANSWER_SECOND && queries_ < 2)) return;
    std::string reply = version_ + "\r\n";
    if (::write(io_, reply.data(), reply.size()) < 0) {}
  }

  Mode mode_;
  std::string version_;
  std::string path_;
  int master_ = -1, slave_ = -1, listener_ = -1, conn_ = -1, io_ = -1;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<int> queries_{0};
  std::mutex mutex_;
  std::string received_;
};
