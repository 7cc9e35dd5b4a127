// For test programs that list the machine's interfaces: LAN discovery
// broadcasts, so the program moves itself into a user and network namespace
// of its own before any test runs, with only a loopback interface, and skips
// (exit 77) where the system does not allow that.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "private_marks.h"

namespace {

std::string net_namespace() {
  char buf[128] = {};
  ssize_t n = readlink("/proc/self/ns/net", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

bool write_file(const char* path, const std::string& text) {
  int fd = open(path, O_WRONLY);
  if (fd < 0) return false;
  bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return ok;
}

bool enter_private_network(std::string* why) {
  std::string outer = net_namespace();
  uid_t uid = geteuid();
  gid_t gid = getegid();
  int flags = CLONE_NEWNET | (uid == 0 ? 0 : CLONE_NEWUSER);
  if (unshare(flags) != 0) {
    *why = std::string("network namespaces are not available: ") + std::strerror(errno);
    return false;
  }
  if (uid != 0) {
    // Files can only be created by a user the namespace knows.
    write_file("/proc/self/setgroups", "deny");
    if (!write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
        !write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
      *why = "cannot map the user into the new namespace";
      return false;
    }
  }
  if (net_namespace() == outer) {
    *why = "unshare did not give a new network namespace";
    return false;
  }
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  ifreq ifr{};
  std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
  bool up = s >= 0 && ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
  ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
  up = up && ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
  if (s >= 0) close(s);
  if (!up) *why = "cannot bring lo up in the namespace";
  return up;
}

}  // namespace

int main(int argc, char** argv) {
  bool listing = false;
  for (int i = 1; i < argc; i++) {
    if (std::strncmp(argv[i], "--gtest_list_tests", 18) == 0) listing = true;
  }
  if (!listing) {
    std::string why;
    if (!enter_private_network(&why)) {
      std::printf("SKIP: %s\n", why.c_str());
      return 77;
    }
  }
  use_private_mark_folder();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
