// Probing a COM port or a LAN address for a Prologix adapter, against a
// stand-in adapter on a real pseudo-terminal or a loopback socket.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "drivers/shared/comblock/serblock.h"
#include "drivers/shared/gpibport/gpibport.h"
#include "line_adapter.h"
#include "platform/msgbox.h"
#include "sysfs_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

long ms_since(Clock::time_point t) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

int quiet_box(const char*, const char*, unsigned, void*) { return PLAT_IDOK; }

class DiscoverySerialProbe : public ::testing::Test {
 protected:
  void SetUp() override { plat_set_message_box_handler(quiet_box, nullptr); }
  void TearDown() override { plat_set_message_box_handler(nullptr, nullptr); }

  // COM5 -> the adapter's pseudo-terminal; false when there is none.
  bool attach(LineAdapter& adapter) {
    std::string slave = adapter.open_pty();
    if (slave.empty()) return false;
    tree.link_com(5, slave);
    return true;
  }
  DeviceTree tree;
  GPIBPORT port;
};

TEST_F(DiscoverySerialProbe, AdapterAnswersWithItsVersionWithoutLineEnd) {
  LineAdapter adapter(LineAdapter::ANSWER);
  if (!attach(adapter)) GTEST_SKIP() << "no pseudo-terminal available";
  const char* text = nullptr;
  EXPECT_TRUE(port.probe_prologix_serial("COM5", &text));
  EXPECT_STREQ("Prologix GPIB-USB Controller version 6.107", text);
  EXPECT_EQ(0u, adapter.received().find("++mode 1\r\n++ver\r\n")) << adapter.received();
}

TEST_F(DiscoverySerialProbe, SecondAttemptStartsAFreshLine) {
  LineAdapter adapter(LineAdapter::ANSWER_SECOND);
  if (!attach(adapter)) GTEST_SKIP() << "no pseudo-terminal available";
  const char* text = nullptr;
  EXPECT_TRUE(port.probe_prologix_serial("COM5", &text));
  EXPECT_STREQ("Prologix GPIB-USB Controller version 6.107", text);
  EXPECT_EQ("++mode 1\r\n++ver\r\n\r\n++ver\r\n", adapter.received());
}

TEST_F(DiscoverySerialProbe, SilentPortGivesNoResponseAfterTwoAttempts) {
  LineAdapter adapter(LineAdapter::SILENT);
  if (!attach(adapter)) GTEST_SKIP() << "no pseudo-terminal available";
  const char* text = nullptr;
  auto start = Clock::now();
  EXPECT_FALSE(port.probe_prologix_serial("COM5", &text));
  EXPECT_STREQ("(No response from device)", text);
  EXPECT_EQ(2, adapter.version_queries());
  // Two attempts of a settle, a quiet drain and a version wait each.
  EXPECT_GE(ms_since(start), 1500);
  EXPECT_LT(ms_since(start), 5000);
}

TEST_F(DiscoverySerialProbe, FloodingAdapterIsNudgedOnceAndTheProbeGoesOn) {
  LineAdapter adapter(LineAdapter::FLOOD);
  if (!attach(adapter)) GTEST_SKIP() << "no pseudo-terminal available";
  const char* text = nullptr;
  testing::internal::CaptureStdout();
  bool ok = port.probe_prologix_serial("COM5", &text);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(std::string::npos, out.find("Flood detected in flush_port()\n")) << out;
  EXPECT_TRUE(ok);
  EXPECT_STREQ("Prologix GPIB-USB Controller version 6.107", text);
}

TEST_F(DiscoverySerialProbe, PortThatAnotherHoldsOrThatIsMissing) {
  LineAdapter adapter(LineAdapter::ANSWER);
  if (!attach(adapter)) GTEST_SKIP() << "no pseudo-terminal available";
  char holder_text[512] = "";
  SERBLOCK holder("COM5", holder_text);
  ASSERT_TRUE(holder.is_open()) << holder_text;
  const char* text = nullptr;
  EXPECT_FALSE(port.probe_prologix_serial("COM5", &text));
  EXPECT_STREQ("Port unavailable or in use", text);
  EXPECT_FALSE(port.probe_prologix_serial("COM30", &text));
  EXPECT_STREQ("Port unavailable or in use", text);
}

TEST_F(DiscoverySerialProbe, WithoutATextNoneIsProduced) {
  LineAdapter adapter(LineAdapter::ANSWER);
  if (!attach(adapter)) GTEST_SKIP() << "no pseudo-terminal available";
  EXPECT_TRUE(port.probe_prologix_serial("COM5", nullptr));
  // The untrimmed reply is still in the work buffer.
  EXPECT_STREQ("Prologix GPIB-USB Controller version 6.107\r\n", port.work_buffer);
}

TEST(DiscoveryFlushPort, NoStreamDrainsNothing) {
  GPIBPORT port;
  EXPECT_EQ(0, port.flush_port(nullptr));
  EXPECT_EQ(nullptr, port.read_adapter_reply(nullptr, 10, '\n'));
  EXPECT_FALSE(port.send_to_stream(nullptr, "++ver\r\n"));
}

}  // namespace

namespace {

struct Box {
  int count = 0;
  std::string caption;
};
int count_box(const char*, const char* caption, unsigned, void* user) {
  static_cast<Box*>(user)->count++;
  static_cast<Box*>(user)->caption = caption;
  return PLAT_IDOK;
}

class DiscoveryLanProbe : public ::testing::Test {
 protected:
  void SetUp() override { plat_set_message_box_handler(count_box, &boxes); }
  void TearDown() override { plat_set_message_box_handler(nullptr, nullptr); }
  static std::string at(int tcp_port) { return "127.0.0.1:" + std::to_string(tcp_port); }
  Box boxes;
  GPIBPORT port;
};

TEST_F(DiscoveryLanProbe, AdapterAnswersWithItsVersionWithoutLineEnd) {
  LineAdapter adapter(LineAdapter::ANSWER, "Prologix GPIB-ETHERNET Controller version 01.06.06.00");
  int tcp_port = adapter.listen_tcp();
  ASSERT_NE(0, tcp_port);
  const char* text = nullptr;
  EXPECT_TRUE(port.probe_prologix_lan(at(tcp_port).c_str(), &text));
  EXPECT_STREQ("Prologix GPIB-ETHERNET Controller version 01.06.06.00", text);
  EXPECT_EQ(0u, adapter.received().find("++mode 1\r\n++ver\r\n")) << adapter.received();
}

TEST_F(DiscoveryLanProbe, SilentAdapterGetsOneAttemptOnly) {
  LineAdapter adapter(LineAdapter::SILENT);
  int tcp_port = adapter.listen_tcp();
  ASSERT_NE(0, tcp_port);
  const char* text = nullptr;
  EXPECT_FALSE(port.probe_prologix_lan(at(tcp_port).c_str(), &text));
  EXPECT_STREQ("(No response from device)", text);
  EXPECT_EQ(1, adapter.version_queries());
}

TEST_F(DiscoveryLanProbe, PeerThatHangsUpIsNoAdapter) {
  LineAdapter adapter(LineAdapter::HANG_UP);
  int tcp_port = adapter.listen_tcp();
  ASSERT_NE(0, tcp_port);
  const char* text = nullptr;
  EXPECT_FALSE(port.probe_prologix_lan(at(tcp_port).c_str(), &text));
  EXPECT_STREQ("(No Prologix adapter found)", text);
}

TEST_F(DiscoveryLanProbe, NothingListeningGivesTheStreamsText) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sin;
  ASSERT_EQ(0, bind(s, reinterpret_cast<sockaddr*>(&sin), sizeof sin));
  ASSERT_EQ(0, getsockname(s, reinterpret_cast<sockaddr*>(&sin), &len));
  close(s);  // the port is now closed: nothing listens there
  const char* text = nullptr;
  EXPECT_FALSE(port.probe_prologix_lan(at(ntohs(sin.sin_port)).c_str(), &text));
  EXPECT_STREQ("Unable to connect to server", text);
  EXPECT_EQ(0, boxes.count) << "the failure goes into the text, not into a box";
}

}  // namespace
