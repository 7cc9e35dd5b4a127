#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "sim/sim.h"

namespace u62sim {

namespace {

constexpr std::uint8_t kMark = 0x5A;
constexpr std::uint8_t kIdentifyRequest = 0x00;
constexpr std::uint8_t kIdentifyReply = 0x01;
constexpr std::size_t kReplySize = 76;

std::string ns_of(const char* path) {
  char target[128];
  ssize_t n = ::readlink(path, target, sizeof target - 1);
  if (n <= 0) return {};
  target[n] = '\0';
  return target;
}

// A namespace made for a test has no way out: no default route. The
// machine's own namespace (and a container's) has one.
bool has_default_route() {
  std::FILE* f = std::fopen("/proc/net/route", "r");
  if (!f) return true;  // cannot tell: assume the worst
  char line[512];
  bool found = false;
  std::fgets(line, sizeof line, f);  // header
  while (!found && std::fgets(line, sizeof line, f)) {
    char iface[64];
    unsigned long destination = 1;
    if (std::sscanf(line, "%63s %lx", iface, &destination) == 2 && destination == 0) found = true;
  }
  std::fclose(f);
  return found;
}

}  // namespace

std::vector<std::uint8_t> identify_reply(const AdapterIdentity& a, std::uint16_t sequence,
                                         const DiscoveryFaults& faults) {
  std::vector<std::uint8_t> r(kReplySize, 0);
  if (faults.wrong_sequence) ++sequence;
  r[0] = faults.wrong_mark ? 0x5B : kMark;
  r[1] = faults.wrong_type ? 0x03 : kIdentifyReply;
  r[2] = static_cast<std::uint8_t>(sequence >> 8);
  r[3] = static_cast<std::uint8_t>(sequence & 0xFF);
  std::copy(a.mac.begin(), a.mac.end(), r.begin() + 4);
  // Uptime: days (16 bits, low byte first), hours, minutes, seconds.
  r[12] = 3;
  r[13] = 0;
  r[14] = 4;
  r[15] = 5;
  r[16] = 6;
  r[17] = 1;  // mode
  r[18] = 0;  // alert
  r[19] = 0;  // static address
  std::copy(a.address.begin(), a.address.end(), r.begin() + 20);
  std::copy(a.mask.begin(), a.mask.end(), r.begin() + 24);
  std::copy(a.gateway.begin(), a.gateway.end(), r.begin() + 28);
  const std::uint8_t app[4] = {1, 6, 6, 0}, boot[4] = {1, 0, 0, 0}, hw[4] = {1, 2, 0, 0};
  std::copy(app, app + 4, r.begin() + 32);
  std::copy(boot, boot + 4, r.begin() + 36);
  std::copy(hw, hw + 4, r.begin() + 40);
  std::size_t n = std::min<std::size_t>(a.name.size(), 31);
  std::memcpy(r.data() + 44, a.name.data(), n);
  r.resize(std::min<std::size_t>(faults.length, 512), 0);
  return r;
}

struct DiscoveryResponder::Impl {
  explicit Impl(DiscoveryOptions o) : options(std::move(o)), faults(options.faults) {}

  bool start(std::string* error) {
    std::lock_guard<std::mutex> guard(lifecycle);
    if (thread.joinable()) return true;
    auto fail = [&](const std::string& text) {
      if (error) *error = text;
      if (fd >= 0) ::close(fd);
      fd = -1;
      return false;
    };
    if (!options.allow_start)
      return fail("the discovery responder answers a whole network: it runs only inside a network "
                  "namespace made for the run, and only when asked to");
    std::string mine = ns_of("/proc/self/ns/net"), init = ns_of("/proc/1/ns/net");
    if (!mine.empty() && mine == init)
      return fail("refusing to answer discovery in the machine's own network namespace");
    if (has_default_route())
      return fail("refusing to answer discovery: this network namespace has a default route, so it "
                  "is not one made for the run (use unshare -rn)");
    fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return fail(std::string("socket: ") + std::strerror(errno));
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(options.port);
    if (inet_pton(AF_INET, options.bind_address.c_str(), &addr.sin_addr) != 1)
      return fail("not an IPv4 address: " + options.bind_address);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
      return fail(std::string("bind: ") + std::strerror(errno));
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    bound_port = ntohs(addr.sin_port);
    if (pipe2(wake_pipe, O_NONBLOCK | O_CLOEXEC) != 0) return fail(std::string("pipe: ") + std::strerror(errno));
    stopping = false;
    thread = std::thread([this] { run(); });
    return true;
  }

  void stop() {
    std::lock_guard<std::mutex> guard(lifecycle);
    if (!thread.joinable()) return;
    stopping = true;
    char c = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_pipe[1], &c, 1);
    thread.join();
    ::close(fd);
    ::close(wake_pipe[0]);
    ::close(wake_pipe[1]);
    fd = wake_pipe[0] = wake_pipe[1] = -1;
  }

  void run() {
    std::uint8_t buffer[1024];
    while (!stopping.load()) {
      pollfd fds[2] = {{fd, POLLIN, 0}, {wake_pipe[0], POLLIN, 0}};
      if (::poll(fds, 2, 500) <= 0) continue;
      if (fds[1].revents & POLLIN) continue;
      sockaddr_in from{};
      socklen_t len = sizeof from;
      ssize_t n = ::recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &len);
      if (n < 12 || buffer[0] != kMark || buffer[1] != kIdentifyRequest) continue;
      DiscoveryFaults f;
      {
        std::lock_guard<std::mutex> lock(mutex);
        f = faults;
      }
      if (f.silent) continue;
      std::uint16_t sequence = static_cast<std::uint16_t>((buffer[2] << 8) | buffer[3]);
      bool everyone = std::all_of(buffer + 4, buffer + 10, [](std::uint8_t b) { return b == 0xFF; });
      for (const AdapterIdentity& a : options.adapters) {
        if (!everyone && !std::equal(a.mac.begin(), a.mac.end(), buffer + 4)) continue;
        std::vector<std::uint8_t> reply = identify_reply(a, sequence, f);
        // Only ever to the asker: the responder never broadcasts.
        ::sendto(fd, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
        answered.fetch_add(1);
      }
    }
  }

  DiscoveryOptions options;
  std::mutex mutex;
  DiscoveryFaults faults;
  std::mutex lifecycle;
  std::thread thread;
  std::atomic<bool> stopping{false};
  std::atomic<unsigned long long> answered{0};
  std::atomic<std::uint16_t> bound_port{0};
  int fd = -1;
  int wake_pipe[2] = {-1, -1};
};

DiscoveryResponder::DiscoveryResponder(DiscoveryOptions options)
    : impl_(std::make_unique<Impl>(std::move(options))) {}
DiscoveryResponder::~DiscoveryResponder() { impl_->stop(); }
bool DiscoveryResponder::start(std::string* error) { return impl_->start(error); }
void DiscoveryResponder::stop() { impl_->stop(); }
std::uint16_t DiscoveryResponder::port() const { return impl_->bound_port.load(); }

void DiscoveryResponder::set_faults(const DiscoveryFaults& faults) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->faults = faults;
}

unsigned long long DiscoveryResponder::requests_answered() const { return impl_->answered.load(); }

}  // namespace u62sim
