// Prologix LAN discovery over real UDP broadcasts. Every test runs in a
// network namespace of its own (scripts/netns-run.sh, with a veth pair for
// a broadcast-capable "local network"), so that no datagram leaves this
// run; main re-executes the binary through the script when it finds itself
// in the machine's own namespace.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "drivers/shared/gpibport/discovery/discovery.h"
#include "drivers/shared/gpibport/gpibport.h"
#include "platform/msgbox.h"
#include "sysfs_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;
using Mac = std::vector<uint8_t>;

std::string current_netns() {
  char buf[128] = "";
  ssize_t n = readlink("/proc/self/ns/net", buf, sizeof buf - 1);
  if (n > 0) buf[n] = '\0';
  return buf;
}

bool in_private_netns() {
  const char* outer = std::getenv("U62_NETNS_OUTER");
  return outer && *outer && current_netns() != outer;
}

bool has_broadcast_interface() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  bool found = false;
  for (ifaddrs* a = list; a; a = a->ifa_next)
    found = found || (a->ifa_addr && a->ifa_addr->sa_family == AF_INET && (a->ifa_flags & IFF_BROADCAST));
  freeifaddrs(list);
  return found;
}

// An identify reply as an adapter sends it (76 bytes), changed by tests.
Bytes identify_reply(uint16_t sequence, const Mac& mac, std::array<uint8_t, 4> address, size_t length = 76) {
  Bytes r(76, 0);
  r[0] = 0x5A;
  r[1] = 0x01;
  r[2] = static_cast<uint8_t>(sequence >> 8);
  r[3] = static_cast<uint8_t>(sequence);
  std::copy(mac.begin(), mac.end(), r.begin() + 4);
  r[14] = 1;  // some status bytes the driver ignores
  r[19] = 1;
  std::copy(address.begin(), address.end(), r.begin() + 20);
  const char name[] = "Prologix GPIB-ETHERNET";
  std::memcpy(r.data() + 44, name, sizeof name - 1);
  r.resize(length);
  return r;
}

// The far side: whatever answers on UDP port 3040 in the namespace. It
// records each request with the address it was sent to and answers each
// asking socket once, with the replies the test asks for.
class Responder {
 public:
  using Replies = std::function<std::vector<Bytes>(uint16_t sequence)>;
  explicit Responder(Replies replies) : replies_(std::move(replies)) {}
  ~Responder() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) close(fd_);
  }

  bool start() {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(fd_, IPPROTO_IP, IP_PKTINFO, &one, sizeof one);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(PROLOGIX_DISCOVERY_PORT);
    sin.sin_addr.s_addr = htonl(INADDR_ANY);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0) return false;
    thread_ = std::thread([this] { serve(); });
    return true;
  }

  struct Request {
    Bytes bytes;
    uint32_t to;
  };
  std::vector<Request> requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

 private:
  void serve() {
    auto deadline = Clock::now() + std::chrono::seconds(20);
    while (!stop_ && Clock::now() < deadline) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      uint8_t buf[1500];
      sockaddr_in from{};
      iovec iov{buf, sizeof buf};
      alignas(cmsghdr) char control[256];
      msghdr msg{};
      msg.msg_name = &from;
      msg.msg_namelen = sizeof from;
      msg.msg_iov = &iov;
      msg.msg_iovlen = 1;
      msg.msg_control = control;
      msg.msg_controllen = sizeof control;
      ssize_t n = recvmsg(fd_, &msg, 0);
      if (n < 0) continue;
      uint32_t to = 0;
      for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
          in_pktinfo info;
          std::memcpy(&info, CMSG_DATA(c), sizeof info);
          to = ntohl(info.ipi_addr.s_addr);
        }
      }
      {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back({Bytes(buf, buf + n), to});
      }
      auto asker = std::make_pair(from.sin_addr.s_addr, from.sin_port);
      if (n != DISCOVERY_REQUEST_SIZE || !answered_.insert(asker).second) continue;
      uint16_t sequence = static_cast<uint16_t>(buf[2] << 8 | buf[3]);
      for (const Bytes& r : replies_(sequence))
        sendto(fd_, r.data(), r.size(), 0, reinterpret_cast<sockaddr*>(&from), sizeof from);
    }
  }

  Replies replies_;
  int fd_ = -1;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<Request> requests_;
  std::set<std::pair<uint32_t, uint16_t>> answered_;
};

struct Box {
  std::vector<std::string> captions;
};
int record_box(const char*, const char* caption, unsigned, void* user) {
  static_cast<Box*>(user)->captions.push_back(caption);
  return PLAT_IDOK;
}

const Mac kMacA = {0x00, 0x21, 0x69, 0x01, 0x02, 0x03};
const Mac kMacB = {0x00, 0x21, 0x69, 0x0A, 0x0B, 0x0C};
const Mac kMacC = {0x00, 0x21, 0x69, 0xC0, 0xC1, 0xC2};

class DiscoveryLan : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(in_private_netns()) << "refusing to broadcast outside a private network namespace";
    if (!has_broadcast_interface()) GTEST_SKIP() << "the namespace has no broadcast-capable interface";
    plat_set_message_box_handler(record_box, &boxes);
  }
  void TearDown() override { plat_set_message_box_handler(nullptr, nullptr); }

  // One discovery as enumeration runs it; answers the LAN entries found.
  std::vector<INTERFACE_ENTRY> discover() {
    port.interface_count = 0;
    EXPECT_TRUE(port.open_discovery_sockets());
    EXPECT_GT(port.discovery_socket_count, 0);
    EXPECT_TRUE(port.send_discovery_request());
    EXPECT_TRUE(port.collect_discovery_replies(DISCOVERY_COLLECT_MS));
    port.close_discovery_sockets();
    EXPECT_EQ(0, port.discovery_socket_count);
    return std::vector<INTERFACE_ENTRY>(port.interfaces, port.interfaces + port.interface_count);
  }

  static Mac mac_of(const INTERFACE_ENTRY& e) { return Mac(e.mac_address, e.mac_address + 6); }

  DeviceTree tree;  // no COM ports of the machine leak into these lists
  GPIBPORT port;
  Box boxes;
};

// The adapter addresses below (192.168.1.20, 10.0.0.5, ...) are only bytes
// inside the identify replies; nothing here connects to them, and the
// replies themselves travel inside this test's own network namespace.
TEST_F(DiscoveryLan, BroadcastsTheIdentifyRequestAndListsTheAdapter) {
  Responder responder([](uint16_t seq) { return std::vector<Bytes>{identify_reply(seq, kMacA, {192, 168, 1, 20})}; });
  ASSERT_TRUE(responder.start());
  auto found = discover();
  ASSERT_EQ(1u, found.size());
  EXPECT_STREQ("Prologix GPIB-ETHERNET (192.168.1.20)", found[0].display_text);
  EXPECT_STREQ("192.168.1.20:1234", found[0].descriptor);
  EXPECT_EQ(IFACE_PROLOGIX_LAN, found[0].kind);
  EXPECT_EQ(1234, found[0].port_number);
  EXPECT_EQ(kMacA, mac_of(found[0]));

  auto requests = responder.requests();
  ASSERT_FALSE(requests.empty());
  for (const auto& r : requests) {
    ASSERT_EQ(12u, r.bytes.size());
    EXPECT_EQ(0xFFFFFFFFu, r.to) << "sent to the limited broadcast address";
    EXPECT_EQ(0x5A, r.bytes[0]);
    EXPECT_EQ(0x00, r.bytes[1]);
    EXPECT_EQ(port.discovery_sequence, static_cast<uint16_t>(r.bytes[2] << 8 | r.bytes[3]));
    EXPECT_EQ(Bytes(6, 0xFF), Bytes(r.bytes.begin() + 4, r.bytes.begin() + 10));
    EXPECT_EQ(0, r.bytes[10] | r.bytes[11]);
  }
  EXPECT_NE(0, port.discovery_sequence);
  EXPECT_TRUE(boxes.captions.empty());
}

TEST_F(DiscoveryLan, InvalidRepliesAreIgnored) {
  Responder responder([](uint16_t seq) {
    Bytes wrong_mark = identify_reply(seq, kMacB, {10, 0, 0, 2});
    wrong_mark[0] = 0x5B;
    Bytes wrong_type = identify_reply(seq, kMacB, {10, 0, 0, 3});
    wrong_type[1] = 0x00;
    Bytes old_request = identify_reply(static_cast<uint16_t>(seq + 1), kMacB, {10, 0, 0, 4});
    return std::vector<Bytes>{wrong_mark, wrong_type, old_request, Bytes{}, identify_reply(seq, kMacC, {10, 0, 0, 5})};
  });
  ASSERT_TRUE(responder.start());
  auto found = discover();
  ASSERT_EQ(1u, found.size());
  EXPECT_STREQ("10.0.0.5:1234", found[0].descriptor);
  EXPECT_EQ(kMacC, mac_of(found[0]));
}

TEST_F(DiscoveryLan, AdaptersAreListedOncePerMac) {
  // Adapter A answers twice (and once per local interface that asked);
  // B is a second adapter.
  Responder responder([](uint16_t seq) {
    return std::vector<Bytes>{identify_reply(seq, kMacA, {192, 168, 1, 20}), identify_reply(seq, kMacA, {192, 168, 1, 20}),
                              identify_reply(seq, kMacB, {192, 168, 1, 21})};
  });
  ASSERT_TRUE(responder.start());
  auto found = discover();
  ASSERT_EQ(2u, found.size());
  EXPECT_EQ(kMacA, mac_of(found[0]));
  EXPECT_STREQ("192.168.1.21:1234", found[1].descriptor);
  EXPECT_EQ(kMacB, mac_of(found[1]));
}

TEST_F(DiscoveryLan, ShortReplyNamesAddressZero) {
  Responder responder([](uint16_t seq) { return std::vector<Bytes>{identify_reply(seq, kMacA, {192, 168, 1, 20}, 16)}; });
  ASSERT_TRUE(responder.start());
  auto found = discover();
  ASSERT_EQ(1u, found.size());
  EXPECT_STREQ("Prologix GPIB-ETHERNET (0.0.0.0)", found[0].display_text);
  EXPECT_EQ(kMacA, mac_of(found[0]));
}

TEST_F(DiscoveryLan, AdapterThatAnotherPortHoldsIsLeftOut) {
  GPIBPORT holder;
  ASSERT_FALSE(holder.interface_in_use("192.168.1.20:1234", true));
  Responder responder([](uint16_t seq) {
    return std::vector<Bytes>{identify_reply(seq, kMacA, {192, 168, 1, 20}), identify_reply(seq, kMacB, {192, 168, 1, 21})};
  });
  ASSERT_TRUE(responder.start());
  auto found = discover();
  ASSERT_EQ(1u, found.size());
  EXPECT_STREQ("192.168.1.21:1234", found[0].descriptor);
}

TEST_F(DiscoveryLan, SecondOpenIsRefusedUntilClosed) {
  ASSERT_TRUE(port.open_discovery_sockets());
  int sockets = port.discovery_socket_count;
  EXPECT_GT(sockets, 0);
  EXPECT_FALSE(port.open_discovery_sockets());
  EXPECT_EQ(sockets, port.discovery_socket_count);
  port.close_discovery_sockets();
  EXPECT_EQ(0, port.discovery_socket_count);
  for (intptr_t s : port.discovery_sockets) EXPECT_EQ(-1, s);
  EXPECT_TRUE(port.open_discovery_sockets());
  port.close_discovery_sockets();
}

TEST_F(DiscoveryLan, EnumerationListsComPortsThenAdapters) {
  tree.add(7, "ttyUSB0", DeviceTree::USB_SERIAL, "0403", "USB Serial Port", "ftdi_sio");
  Responder responder([](uint16_t seq) { return std::vector<Bytes>{identify_reply(seq, kMacA, {192, 168, 1, 20})}; });
  ASSERT_TRUE(responder.start());
  auto start = Clock::now();
  int n = port.enumerate_interfaces(false, false);
  auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  ASSERT_EQ(2, n);
  EXPECT_STREQ("COM7 (USB Serial Port)", port.interfaces[0].display_text);
  EXPECT_STREQ("Prologix GPIB-ETHERNET (192.168.1.20)", port.interfaces[1].display_text);
  EXPECT_GE(took, 200) << "the collection takes its 200 ms";
  EXPECT_LT(took, 2000);
  EXPECT_EQ(0, port.discovery_socket_count);
}

TEST_F(DiscoveryLan, MoreInterfacesThanSocketSlots) {
  // 140 more broadcast-capable interfaces (70 veth pairs) than the port
  // has room for.
  char batch[] = "/tmp/u62-ifaces-XXXXXX";
  int fd = mkstemp(batch);
  ASSERT_GE(fd, 0);
  std::string add, del;
  for (int i = 0; i < 70; ++i) {
    std::string a = "a" + std::to_string(i), b = "b" + std::to_string(i);
    add += "link add " + a + " type veth peer name " + b + "\n";
    add += "addr add 10.100." + std::to_string(i) + ".1/24 dev " + a + "\n";
    add += "addr add 10.100." + std::to_string(i) + ".2/24 dev " + b + "\n";
    add += "link set " + a + " up\nlink set " + b + " up\n";
    del += "link del " + a + "\n";
  }
  ASSERT_EQ(static_cast<ssize_t>(add.size()), write(fd, add.data(), add.size()));
  close(fd);
  int made = std::system(("ip -batch " + std::string(batch) + " >/dev/null 2>&1").c_str());
  if (made != 0) {
    unlink(batch);
    GTEST_SKIP() << "veth interfaces cannot be made here";
  }
  EXPECT_TRUE(port.open_discovery_sockets());
  EXPECT_LE(port.discovery_socket_count, GPIBPORT_MAX_DISCOVERY_SOCKETS);
  EXPECT_GE(port.discovery_socket_count, GPIBPORT_MAX_DISCOVERY_SOCKETS - 3);
  EXPECT_TRUE(port.send_discovery_request());
  EXPECT_TRUE(port.collect_discovery_replies(20));
  port.close_discovery_sockets();
  EXPECT_TRUE(boxes.captions.empty());
  std::ofstream(batch) << del;
  std::system(("ip -batch " + std::string(batch) + " >/dev/null 2>&1").c_str());
  unlink(batch);
}

// Run in a namespace that has only lo.
TEST(DiscoveryLanQuiet, NoBroadcastInterfaceOpensNothingAndStillWaits) {
  ASSERT_TRUE(in_private_netns()) << "refusing to broadcast outside a private network namespace";
  if (has_broadcast_interface()) GTEST_SKIP() << "this namespace has a broadcast-capable interface";
  DeviceTree tree;
  GPIBPORT port;
  EXPECT_TRUE(port.open_discovery_sockets());
  EXPECT_EQ(0, port.discovery_socket_count);
  EXPECT_TRUE(port.send_discovery_request());
  auto start = Clock::now();
  EXPECT_TRUE(port.collect_discovery_replies(200));
  EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(), 200);
  port.close_discovery_sockets();
  EXPECT_EQ(0, port.enumerate_interfaces(false, true));
}

}  // namespace

int main(int argc, char** argv) {
  bool listing = false;
  bool quiet = false;
  for (int i = 1; i < argc; ++i) {
    listing = listing || std::strcmp(argv[i], "--gtest_list_tests") == 0;
    quiet = quiet || std::strncmp(argv[i], "--gtest_filter=DiscoveryLanQuiet.", 33) == 0;
  }
  if (!listing && !in_private_netns()) {
    // Into a namespace of our own before anything is sent.
    std::vector<char*> args;
    std::string bash = "bash", script = U62_NETNS_SCRIPT, veth = "--veth", dashes = "--", self = "/proc/self/exe";
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) {
      exe[n] = '\0';
      self = exe;
    }
    args.push_back(bash.data());
    args.push_back(script.data());
    if (!quiet) args.push_back(veth.data());
    args.push_back(dashes.data());
    args.push_back(self.data());
    for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);
    execvp("bash", args.data());
    std::printf("SKIP: cannot run %s\n", U62_NETNS_SCRIPT);
    return 77;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
