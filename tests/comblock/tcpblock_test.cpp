#include "drivers/shared/comblock/tcpblock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "test_support.h"

using namespace u62test;

namespace {

class ComblockTcpLine : public ::testing::Test {
 protected:
  // Connects a block to the listener and accepts its connection.
  void connect(const std::string& descriptor, int default_port = 1234) {
    char error[512] = "";
    block_ = std::make_unique<TCPBLOCK>(descriptor.c_str(), default_port, error);
    ASSERT_TRUE(block_->is_open()) << error;
    peer_ = listener_.accept_one();
    ASSERT_GE(peer_, 0);
  }
  void TearDown() override {
    block_.reset();
    if (peer_ >= 0) close(peer_);
  }
  struct READ {
    std::string bytes;
    int count;
    int result;
    int64_t ms;
  };
  READ read(int max_count, int terminator, int timeout_ms, int dropout_ms, COMBLOCK_POLL poll = nullptr) {
    int count = -1, result = 0;
    int64_t t0 = now_ms();
    uint8_t* area = block_->read(max_count, terminator, timeout_ms, dropout_ms, poll, &count, &result);
    return READ{std::string(reinterpret_cast<char*>(area), count > 0 ? count : 0), count, result, now_ms() - t0};
  }
  bool send(const std::string& s) { return send_all(peer_, s.data(), s.size()); }

  Listener listener_;
  BoxRecorder boxes_;
  std::unique_ptr<TCPBLOCK> block_;
  int peer_ = -1;
};

TEST(ComblockTcpDescriptor, HostAndPort) {
  struct {
    const char* descriptor;
    int default_port;
    const char* host;
    int port;
  } cases[] = {
      {"192.168.1.20", 1234, "192.168.1.20", 1234},
      {"192.168.1.20:5025", 1234, "192.168.1.20", 5025},
      {"counter.lab.example", 5025, "counter.lab.example", 5025},
      {"counter.lab.example:1234", 5025, "counter.lab.example", 1234},
      {"host:abc", 5025, "host", 0},
      {"host:", 5025, "host", 0},
      {"host: 42", 5025, "host", 42},
      {"host:70000", 5025, "host", 0},  // never wraps to another port
      {"host:-5", 5025, "host", 0},
      {"a:b:7", 1, "a:b", 7},  // cut at the last ':'
  };
  for (const auto& c : cases) {
    char host[TCPBLOCK_HOST_SIZE];
    int port = -1;
    EXPECT_TRUE(TCPBLOCK::split_descriptor(c.descriptor, c.default_port, host, sizeof host, &port)) << c.descriptor;
    EXPECT_STREQ(host, c.host);
    EXPECT_EQ(port, c.port) << c.descriptor;
  }
  std::string long_host(400, 'h');
  char host[TCPBLOCK_HOST_SIZE];
  int port = 0;
  EXPECT_FALSE(TCPBLOCK::split_descriptor((long_host + ":80").c_str(), 1, host, sizeof host, &port));
  EXPECT_EQ(std::strlen(host), sizeof host - 1);
  EXPECT_EQ(port, 80);
}

TEST_F(ComblockTcpLine, ConnectsByAddressDefaultPortAndName) {
  connect(listener_.descriptor());
  EXPECT_EQ(block_->port_number(), listener_.port());
  TearDown();
  peer_ = -1;
  connect("127.0.0.1", listener_.port());
  EXPECT_STREQ(block_->host_text(), "127.0.0.1");
  TearDown();
  peer_ = -1;
  connect("localhost:" + std::to_string(listener_.port()));
  EXPECT_EQ(boxes_.count(), 0u);
}

TEST(ComblockTcpConnect, NothingListens) {
  BoxRecorder boxes;
  std::string descriptor = "127.0.0.1:" + std::to_string(closed_port());
  char error[512] = "";
  {
    TCPBLOCK b(descriptor.c_str(), 1234, error);
    EXPECT_FALSE(b.is_open());
    EXPECT_STREQ(error, "Unable to connect to server");
    EXPECT_EQ(boxes.count(), 0u);
  }
  TCPBLOCK b(descriptor.c_str(), 1234, nullptr);
  EXPECT_FALSE(b.is_open());
  auto shown = boxes.boxes();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].caption, "Unable to connect to server, WSA code " + std::to_string(ECONNREFUSED));
  EXPECT_EQ(shown[0].text, "Connection refused");
  // The block is disconnected: reads and writes fail without touching a
  // socket.
  int count = 5, result = 0;
  b.read(-1, 10, 100, 50, nullptr, &count, &result);
  EXPECT_EQ(result, RX_ERROR);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(b.transmit("x", 1, 100), 0);
}

TEST(ComblockTcpConnect, UnansweredConnectGivesUp) {
  BoxRecorder boxes;
  // A full accept queue drops further connection requests unanswered.
  Listener listener(0);
  TCPBLOCK queued(listener.descriptor().c_str(), 1234, nullptr);
  ASSERT_TRUE(queued.is_open());
  int64_t t0 = now_ms();
  TCPBLOCK b(listener.descriptor().c_str(), 1234, nullptr);
  int64_t ms = now_ms() - t0;
  EXPECT_FALSE(b.is_open());
  EXPECT_GE(ms, TCPBLOCK_CONNECT_TIMEOUT_MS - 10);
  EXPECT_LT(ms, TCPBLOCK_CONNECT_TIMEOUT_MS + 1000);
  auto shown = boxes.boxes();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].caption, "Unable to connect to server, WSA code " + std::to_string(ETIMEDOUT));
  EXPECT_EQ(shown[0].text, "Connection timed out");
}

TEST(ComblockTcpConnect, UnusableHostOrPortIsRefusedWithoutConnecting) {
  BoxRecorder boxes;
  struct {
    std::string descriptor;
    const char* error;
  } cases[] = {
      {std::string(300, 'h') + ".example:5025", "Unable to resolve server name"},
      {":5025", "Unable to resolve server name"},
      {"127.0.0.1:0", "Unable to connect to server"},
      {"127.0.0.1:99999", "Unable to connect to server"},
  };
  for (const auto& c : cases) {
    char error[512] = "";
    TCPBLOCK b(c.descriptor.c_str(), 5025, error);
    EXPECT_FALSE(b.is_open()) << c.descriptor;
    EXPECT_STREQ(error, c.error) << c.descriptor;
  }
  EXPECT_EQ(boxes.count(), 0u);
}

TEST_F(ComblockTcpLine, WriteReachesThePeer) {
  connect(listener_.descriptor());
  EXPECT_EQ(block_->write("++ver\r\n", -1, 250), 1);
  EXPECT_EQ(recv_some(peer_, 1000), "++ver\r\n");
  std::string big(3 << 20, 'q');  // more than one send takes
  std::string got;
  std::thread reader([&] {
    while (got.size() < big.size()) {
      std::string part = recv_some(peer_, 2000);
      if (part.empty()) break;
      got += part;
    }
  });
  EXPECT_EQ(block_->transmit(big.data(), static_cast<int>(big.size()), 5000), 1);
  reader.join();
  EXPECT_EQ(got.size(), big.size());
}

TEST_F(ComblockTcpLine, WriteTimesOutWhenThePeerStopsReading) {
  connect(listener_.descriptor());
  std::string big(64 << 20, 'x');
  int64_t t0 = now_ms();
  EXPECT_EQ(block_->transmit(big.data(), static_cast<int>(big.size()), 250), 0);
  int64_t ms = now_ms() - t0;
  EXPECT_GE(ms, 250);
  EXPECT_LT(ms, 1000);
  EXPECT_EQ(boxes_.count(), 0u);
}

TEST_F(ComblockTcpLine, WriteToAClosedPeerFailsWithABox) {
  connect(listener_.descriptor());
  close(peer_);
  peer_ = -1;
  int result = 1;
  // The first send may still be taken; the peer's reset fails a later one.
  for (int i = 0; i < 50 && result == 1; ++i) {
    result = block_->transmit("*IDN?\n", -1, 250);
    usleep(10000);
  }
  EXPECT_EQ(result, 0);
  auto boxes = boxes_.boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].caption.rfind("Connection was closed by remote host (WSA code=", 0), 0u);
}

TEST_F(ComblockTcpLine, ReadResults) {
  connect(listener_.descriptor());
  send("+1.00000000012345E+07\r\nABCDEFGH");
  READ r = read(-1, 10, 2000, 500);
  EXPECT_EQ(r.result, RX_TERMINATED);
  EXPECT_EQ(r.bytes, "+1.00000000012345E+07\r\n");
  r = read(4, 10, 2000, 500);
  EXPECT_EQ(r.result, RX_COUNT);
  EXPECT_EQ(r.bytes, "ABCD");
  send("XY\n");
  r = read(4, 10, 2000, 500);
  EXPECT_EQ(r.result, RX_COUNT);
  EXPECT_EQ(r.bytes, "EFGH");
  r = read(3, 10, 2000, 500);
  EXPECT_EQ(r.result, RX_TERMINATED);  // not RX_COUNT: the terminator comes first
  EXPECT_EQ(r.bytes, "XY\n");

  r = read(-1, 10, 250, 100);
  EXPECT_EQ(r.result, RX_TIMEOUT);
  EXPECT_EQ(r.count, 0);
  EXPECT_GE(r.ms, 250);
  EXPECT_LT(r.ms, 700);

  send("12345");
  r = read(-1, 10, 0, 200);
  EXPECT_EQ(r.result, RX_DROPOUT);
  EXPECT_EQ(r.bytes, "12345");
  EXPECT_GE(r.ms, 200);
  EXPECT_LT(r.ms, 700);

  // A terminator above 127 is a byte like any other.
  send(std::string("ab\xff" "cd"));
  r = read(-1, 0xff, 1000, 200);
  EXPECT_EQ(r.result, RX_TERMINATED);
  EXPECT_EQ(r.bytes, "ab\xff");
  r = read(-1, -1, 1000, 100);
  EXPECT_EQ(r.result, RX_DROPOUT);
  EXPECT_EQ(r.bytes, "cd");
  EXPECT_EQ(boxes_.count(), 0u);
}

TEST_F(ComblockTcpLine, LongReplyComesFromOneRefillAndTheRestWaits) {
  connect(listener_.descriptor());
  std::string reply(1999, 'r');
  reply += '\n';
  send(reply + "next\n");
  usleep(50000);  // let it all arrive before the read
  READ r = read(-1, 10, 2000, 500);
  EXPECT_EQ(r.result, RX_TERMINATED);
  EXPECT_EQ(r.count, 2000);
  // The peer is gone now, yet the bytes after the line feed still come
  // from the chunk.
  close(peer_);
  peer_ = -1;
  r = read(-1, 10, 2000, 500);
  EXPECT_EQ(r.result, RX_TERMINATED);
  EXPECT_EQ(r.bytes, "next\n");
  r = read(-1, 10, 2000, 500);
  EXPECT_EQ(r.result, RX_CLOSED);
}

TEST_F(ComblockTcpLine, FullAreaAndTerminatorAtTheLastByte) {
  connect(listener_.descriptor());
  for (bool last_is_terminator : {false, true}) {
    std::string data(RECV_AREA_SIZE + 100, 'a');
    if (last_is_terminator) data[RECV_AREA_SIZE - 1] = '\n';
    send(data);
    READ r = read(-1, 10, 5000, 1000);
    EXPECT_EQ(r.result, last_is_terminator ? RX_TERMINATED : RX_FULL);
    EXPECT_EQ(r.count, RECV_AREA_SIZE);
    READ rest = read(-1, 10, 0, 200);
    EXPECT_EQ(rest.result, RX_DROPOUT);
    EXPECT_EQ(rest.count, 100);
  }
}

std::atomic<int> g_polls{0};
int poll_three_times() { return ++g_polls < 3 ? 1 : 0; }

TEST_F(ComblockTcpLine, PollFunctionCancelsAReadWithoutTimeOut) {
  connect(listener_.descriptor());
  g_polls = 0;
  READ r = read(-1, 10, 0, 100, poll_three_times);
  EXPECT_EQ(r.result, RX_CANCELLED);
  EXPECT_EQ(g_polls.load(), 3);
  EXPECT_GE(r.ms, 200);
  EXPECT_LT(r.ms, 700);
}

TEST_F(ComblockTcpLine, PeerCloseWhileReading) {
  connect(listener_.descriptor());
  send("partial");
  std::thread closer([&] {
    usleep(100000);
    shutdown(peer_, SHUT_RDWR);
  });
  READ r = read(-1, 10, 0, 3000);
  closer.join();
  EXPECT_EQ(r.result, RX_CLOSED);
  EXPECT_EQ(r.bytes, "partial");
  EXPECT_LT(r.ms, 2000);
  auto boxes = boxes_.boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].caption, "Connection was closed by remote host (WSA code=0)");
  EXPECT_EQ(boxes[0].text, "Hosed");
  // Every later read ends the same way.
  r = read(-1, 10, 1000, 100);
  EXPECT_EQ(r.result, RX_CLOSED);
}

TEST_F(ComblockTcpLine, ReplyFollowedAtOnceByCloseIsDelivered) {
  connect(listener_.descriptor());
  send("last words\n");
  close(peer_);
  peer_ = -1;
  usleep(50000);  // data and close arrive together, in one refill
  READ r = read(-1, 10, 1000, 200);
  EXPECT_EQ(r.result, RX_TERMINATED);
  EXPECT_EQ(r.bytes, "last words\n");
  r = read(-1, 10, 1000, 200);
  EXPECT_EQ(r.result, RX_CLOSED);
}

TEST_F(ComblockTcpLine, ResetWhileReadingIsAnError) {
  connect(listener_.descriptor());
  // Unread data in the peer's queue makes its close a reset.
  EXPECT_EQ(block_->write("unread\n", -1, 250), 1);
  usleep(50000);
  linger l{1, 0};
  setsockopt(peer_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  close(peer_);
  peer_ = -1;
  READ r = read(-1, 10, 1000, 200);
  EXPECT_EQ(r.result, RX_ERROR);
  auto boxes = boxes_.boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].caption, "ReadFile error, result=-1, WSA code=" + std::to_string(ECONNRESET));
  EXPECT_EQ(boxes[0].text, "Connection reset by peer");
}

}  // namespace
