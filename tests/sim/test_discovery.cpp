#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "sim/sim.h"

using namespace u62sim;

namespace {

std::vector<std::uint8_t> request(std::uint16_t sequence) {
  std::vector<std::uint8_t> r = {0x5A, 0x00, static_cast<std::uint8_t>(sequence >> 8),
                                 static_cast<std::uint8_t>(sequence & 0xFF)};
  r.insert(r.end(), 6, 0xFF);
  r.insert(r.end(), 2, 0x00);
  return r;
}

// Sends one request from a socket bound to `from` to `to`:3040 and collects
// the replies for 300 ms.
std::vector<std::vector<std::uint8_t>> ask(const char* from, const char* to, std::uint16_t sequence,
                                           bool broadcast = false) {
  std::vector<std::vector<std::uint8_t>> replies;
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  inet_pton(AF_INET, from, &local.sin_addr);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return replies;
  int one = 1;
  if (broadcast) setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
  sockaddr_in dest{};
  dest.sin_family = AF_INET;
  dest.sin_port = htons(3040);
  inet_pton(AF_INET, to, &dest.sin_addr);
  std::vector<std::uint8_t> req = request(sequence);
  ::sendto(fd, req.data(), req.size(), 0, reinterpret_cast<sockaddr*>(&dest), sizeof dest);
  pollfd p{fd, POLLIN, 0};
  while (::poll(&p, 1, 300) > 0) {
    std::uint8_t buffer[1024];
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    replies.emplace_back(buffer, buffer + n);
  }
  ::close(fd);
  return replies;
}

#define CHILD_CHECK(cond, code)                                        \
  do {                                                                 \
    if (!(cond)) {                                                     \
      std::fprintf(stderr, "namespace check failed: %s\n", #cond);     \
      return code;                                                     \
    }                                                                  \
  } while (0)

}  // namespace

TEST(Discovery, IdentifyReplyLayout) {
  AdapterIdentity a;
  a.mac = {0x00, 0x21, 0x69, 0xAA, 0xBB, 0xCC};
  a.address = {192, 168, 1, 20};
  a.name = "bench adapter";
  std::vector<std::uint8_t> r = identify_reply(a, 0x1234);
  ASSERT_EQ(r.size(), 76u);
  EXPECT_EQ(r[0], 0x5A);
  EXPECT_EQ(r[1], 0x01);
  EXPECT_EQ(r[2], 0x12);
  EXPECT_EQ(r[3], 0x34);
  EXPECT_EQ(std::vector<std::uint8_t>(r.begin() + 4, r.begin() + 10),
            std::vector<std::uint8_t>(a.mac.begin(), a.mac.end()));
  EXPECT_EQ(std::vector<std::uint8_t>(r.begin() + 20, r.begin() + 24), (std::vector<std::uint8_t>{192, 168, 1, 20}));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(r.data() + 44)), "bench adapter");

  struct Case {
    DiscoveryFaults f;
    std::size_t index;
    std::uint8_t value;
  } cases[] = {{{false, true, false, false, 76}, 0, 0x5B},
               {{false, false, true, false, 76}, 1, 0x03},
               {{false, false, false, true, 76}, 3, 0x35}};
  for (const Case& c : cases) EXPECT_EQ(identify_reply(a, 0x1234, c.f)[c.index], c.value);
  EXPECT_EQ(identify_reply(a, 1, {false, false, false, false, 20}).size(), 20u);
}

TEST(Discovery, NeverStartsUnlessAsked) {
  DiscoveryResponder r{DiscoveryOptions{}};
  std::string error;
  EXPECT_FALSE(r.start(&error));
  EXPECT_NE(error.find("namespace"), std::string::npos) << error;
}

TEST(Discovery, AnswersInsideANetworkNamespace) {
  std::string why;
  int rc = run_in_network_namespace(
      [] {
        DiscoveryOptions o;
        o.allow_start = true;
        AdapterIdentity second;
        second.mac = {0x00, 0x21, 0x69, 0x09, 0x08, 0x07};
        second.address = {127, 0, 0, 2};
        o.adapters.push_back(second);
        DiscoveryResponder responder(o);
        std::string error;
        if (!responder.start(&error)) {
          std::fprintf(stderr, "%s\n", error.c_str());
          return 10;
        }
        auto replies = ask("127.0.0.1", "127.0.0.1", 0xBEEF);
        CHILD_CHECK(replies.size() == 2, 11);
        CHILD_CHECK(replies[0].size() == 76 && replies[0][0] == 0x5A && replies[0][1] == 0x01, 12);
        CHILD_CHECK(replies[0][2] == 0xBE && replies[0][3] == 0xEF, 13);
        CHILD_CHECK(replies[1][4 + 3] == 0x09 && replies[1][20 + 3] == 2, 14);

        DiscoveryFaults silent;
        silent.silent = true;
        responder.set_faults(silent);
        CHILD_CHECK(ask("127.0.0.1", "127.0.0.1", 1).empty(), 15);
        responder.set_faults({});

        // A real broadcast over a veth pair made inside the namespace.
        if (std::system("ip link add u62a type veth peer name u62b && "
                        "ip addr add 10.62.0.1/24 dev u62a && ip addr add 10.62.0.2/24 dev u62b && "
                        "ip link set u62a up && ip link set u62b up") == 0) {
          auto heard = ask("10.62.0.1", "255.255.255.255", 7, true);
          CHILD_CHECK(!heard.empty(), 16);
          CHILD_CHECK(heard[0][0] == 0x5A && heard[0][3] == 7, 17);
          std::fprintf(stderr, "broadcast over veth: %zu replies\n", heard.size());
        } else {
          std::fprintf(stderr, "no veth pair here: broadcast part left out\n");
        }
        return 0;
      },
      &why);
  if (rc == -1) GTEST_SKIP() << why;
  EXPECT_EQ(rc, 0);
}
