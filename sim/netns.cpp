#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

#include "sim/sim.h"

namespace u62sim {

namespace {

bool write_file(const char* path, const char* text) {
  int fd = ::open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  ssize_t n = ::write(fd, text, std::strlen(text));
  ::close(fd);
  return n == static_cast<ssize_t>(std::strlen(text));
}

[[noreturn]] void refuse(int report, const char* what) {
  char text[256];
  std::snprintf(text, sizeof text, "%s: %s", what, std::strerror(errno));
  [[maybe_unused]] ssize_t n = ::write(report, text, std::strlen(text));
  ::_exit(125);
}

}  // namespace

int run_in_network_namespace(const std::function<int()>& body, std::string* why,
                             std::chrono::milliseconds timeout) {
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) {
    if (why) *why = std::string("pipe: ") + std::strerror(errno);
    return -1;
  }
  std::fflush(nullptr);
  pid_t pid = ::fork();
  if (pid < 0) {
    if (why) *why = std::string("fork: ") + std::strerror(errno);
    ::close(report[0]);
    ::close(report[1]);
    return -1;
  }
  if (pid == 0) {
    ::close(report[0]);
    uid_t uid = ::getuid();
    gid_t gid = ::getgid();
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) == 0) {
      char map[64];
      write_file("/proc/self/setgroups", "deny");
      std::snprintf(map, sizeof map, "0 %u 1", static_cast<unsigned>(uid));
      if (!write_file("/proc/self/uid_map", map)) refuse(report[1], "uid_map");
      std::snprintf(map, sizeof map, "0 %u 1", static_cast<unsigned>(gid));
      if (!write_file("/proc/self/gid_map", map)) refuse(report[1], "gid_map");
    } else if (::unshare(CLONE_NEWNET) != 0) {
      refuse(report[1], "unshare(CLONE_NEWNET)");
    }
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    if (s < 0 || ::ioctl(s, SIOCGIFFLAGS, &ifr) != 0) refuse(report[1], "SIOCGIFFLAGS lo");
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
    if (::ioctl(s, SIOCSIFFLAGS, &ifr) != 0) refuse(report[1], "SIOCSIFFLAGS lo");
    ::close(s);
    ::close(report[1]);
    int rc = body();
    std::fflush(nullptr);
    ::_exit(rc & 0xFF);
  }
  ::close(report[1]);

  auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  bool done = false;
  while (!done) {
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) {
      done = true;
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      ::close(report[0]);
      if (why) *why = "the namespace child outlived its time-out";
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  char text[256] = {0};
  ssize_t n = ::read(report[0], text, sizeof text - 1);
  ::close(report[0]);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 125 && n > 0) {
    if (why) *why = std::string("no network namespace here (") + text + ")";
    return -1;
  }
  if (WIFSIGNALED(status)) {
    if (why) *why = std::string("namespace child died of signal ") + std::to_string(WTERMSIG(status));
    return 128 + WTERMSIG(status);
  }
  return WEXITSTATUS(status);
}

}  // namespace u62sim
