// A small scripted TCP peer on loopback: it answers each line it receives
// (CR LF stripped) with whatever the script returns, and records what came
// in. One client at a time; the thread waits in poll with short slices and
// is joined by the destructor.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class SCRIPTED_PEER {
 public:
  using SCRIPT = std::function<std::string(const std::string& line)>;

  explicit SCRIPTED_PEER(SCRIPT script) : script_(std::move(script)) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listener_, 1) != 0 || getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
      return;
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { run(); });
  }
  ~SCRIPTED_PEER() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) ::close(listener_);
  }
  int port() const { return port_; }
  std::string descriptor() const { return "127.0.0.1:" + std::to_string(port_); }
  std::string received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }

 private:
  void run() {
    int client = -1;
    std::string line;
    while (!stop_) {
      pollfd p{client >= 0 ? client : listener_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      if (client < 0) {
        client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        continue;
      }
      char buf[4096];
      ssize_t n = recv(client, buf, sizeof buf, 0);
      if (n <= 0) {
        ::close(client);
        client = -1;
        continue;
      }
      {
        std::lock_guard<std::mutex> lock(mutex_);
        received_.append(buf, static_cast<size_t>(n));
      }
      for (ssize_t i = 0; i < n; ++i) {
        if (buf[i] != '\n') {
          if (buf[i] != '\r') line += buf[i];
          continue;
        }
        std::string reply = script_(line);
        line.clear();
        for (size_t sent = 0; sent < reply.size();) {
          ssize_t k = send(client, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
          if (k <= 0) break;
          sent += static_cast<size_t>(k);
        }
      }
    }
    if (client >= 0) ::close(client);
  }

  SCRIPT script_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::string received_;
  std::thread thread_;
};
