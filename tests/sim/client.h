// A tiny byte-stream client for the simulator tests: a loopback TCP socket
// or a pseudo-terminal slave, with bounded reads.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <string_view>

class TestClient {
 public:
  TestClient() = default;
  TestClient(const TestClient&) = delete;
  TestClient& operator=(const TestClient&) = delete;
  ~TestClient() { close(); }

  bool connect_tcp(std::uint16_t port) {
    close();
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }

  bool open_serial(const std::string& path) {
    close();
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) return false;
    termios tio{};
    tcgetattr(fd_, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd_, TCSANOW, &tio);
    return true;
  }

  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    eof_ = false;
  }

  bool send(std::string_view bytes) {
    return fd_ >= 0 && ::write(fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }

  // Reads until the text received so far ends with `end` or the time is up.
  std::string read_until(std::string_view end, std::chrono::milliseconds timeout) {
    std::string got;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!(got.size() >= end.size() && got.compare(got.size() - end.size(), end.size(), end) == 0)) {
      if (!read_some(got, deadline)) break;
    }
    return got;
  }

  // Everything that arrives within the window.
  std::string read_for(std::chrono::milliseconds window) {
    std::string got;
    auto deadline = std::chrono::steady_clock::now() + window;
    while (read_some(got, deadline)) {
    }
    return got;
  }

  // True when the peer closes the connection within the time.
  bool closed_within(std::chrono::milliseconds timeout) {
    std::string ignored;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (read_some(ignored, deadline)) {
    }
    return eof_;
  }

  std::string query(std::string_view line, std::string_view end = "\n",
                    std::chrono::milliseconds timeout = std::chrono::seconds(2)) {
    send(line);
    return read_until(end, timeout);
  }

  int fd() const { return fd_; }

 private:
  bool read_some(std::string& got, std::chrono::steady_clock::time_point deadline) {
    if (fd_ < 0 || eof_) return false;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char buffer[4096];
    ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n <= 0) {
      eof_ = true;
      return false;
    }
    got.append(buffer, static_cast<std::size_t>(n));
    return true;
  }

  int fd_ = -1;
  bool eof_ = false;
};
