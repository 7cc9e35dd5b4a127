// Discovery and probing against the project's adapter simulators: the
// emulated GPIB-USB adapter on a pseudo-terminal, the emulated
// GPIB-ETHERNET adapter on loopback, and the discovery responder inside a
// private network namespace.
#include <gtest/gtest.h>

#include <string>

#include "drivers/shared/gpibport/gpibport.h"
#include "platform/msgbox.h"
#include "sim/sim.h"
#include "sysfs_fixture.h"

namespace {

int quiet_box(const char*, const char*, unsigned, void*) { return PLAT_IDOK; }

class DiscoverySim : public ::testing::Test {
 protected:
  void SetUp() override { plat_set_message_box_handler(quiet_box, nullptr); }
  void TearDown() override { plat_set_message_box_handler(nullptr, nullptr); }
  DeviceTree tree;
  GPIBPORT port;
};

TEST_F(DiscoverySim, UsbAdapterFirmwareGenerationsAnswerTheSerialProbe) {
  for (u62sim::Firmware fw : {u62sim::Firmware::Usb6107, u62sim::Firmware::Usb440, u62sim::Firmware::Ar488}) {
    u62sim::TransportOptions options;
    options.firmware = fw;
    options.devices_dir = tree.root() + "/devices";
    options.com_number = 7;
    std::string error;
    auto sim = u62sim::start_simulator(u62sim::TransportKind::PrologixUsb, options, &error);
    if (!sim) GTEST_SKIP() << error;
    const char* text = nullptr;
    EXPECT_TRUE(port.probe_prologix_serial("COM7", &text)) << u62sim::firmware_info(fw).name;
    EXPECT_STREQ(u62sim::firmware_info(fw).version_text, text);
  }
}

TEST_F(DiscoverySim, LanAdapterAnswersTheLanProbe) {
  std::string error;
  auto sim = u62sim::start_prologix_lan({}, 10, 0, &error);
  ASSERT_TRUE(sim) << error;
  std::string descriptor = "127.0.0.1:" + std::to_string(sim->port());
  const char* text = nullptr;
  EXPECT_TRUE(port.probe_prologix_lan(descriptor.c_str(), &text));
  EXPECT_STREQ(u62sim::firmware_info(u62sim::Firmware::Ethernet).version_text, text);
  EXPECT_TRUE(sim->wait_received("++ver", std::chrono::milliseconds(100)));
}

TEST_F(DiscoverySim, SilentLanAdapterGivesNoResponse) {
  u62sim::TransportOptions options;
  options.faults.silence = true;
  std::string error;
  auto sim = u62sim::start_simulator(u62sim::TransportKind::PrologixLan, options, &error);
  ASSERT_TRUE(sim) << error;
  std::string descriptor = "127.0.0.1:" + std::to_string(sim->port());
  const char* text = nullptr;
  EXPECT_FALSE(port.probe_prologix_lan(descriptor.c_str(), &text));
  EXPECT_STREQ("(No response from device)", text);
}

TEST_F(DiscoverySim, DiscoveryResponderInAPrivateNamespace) {
  // The responder and the discovery run in a child inside a network
  // namespace of its own, which starts with lo only; a veth pair gives it a
  // broadcast-capable interface, as scripts/netns-run.sh --veth does.
  std::string why;
  int rc = u62sim::run_in_network_namespace(
      [&]() -> int {
        if (std::system("ip link add v0 type veth peer name v1 && ip addr add 10.99.0.1/24 dev v0 && "
                        "ip addr add 10.99.0.2/24 dev v1 && ip link set v0 up && ip link set v1 up") != 0)
          return 77;
        u62sim::DiscoveryOptions options;
        options.allow_start = true;
        u62sim::AdapterIdentity adapter;
        adapter.address = {192, 168, 1, 20};
        adapter.mac = {0x00, 0x21, 0x69, 0x00, 0x00, 0x07};
        u62sim::AdapterIdentity second = adapter;
        second.address = {192, 168, 1, 21};
        second.mac = {0x00, 0x21, 0x69, 0x00, 0x00, 0x08};
        options.adapters = {adapter, second};
        u62sim::DiscoveryResponder responder(options);
        std::string error;
        if (!responder.start(&error)) return 3;
        GPIBPORT p;
        int n = p.enumerate_interfaces(false, true);
        int lan = 0;
        bool first = false, mac = false;
        for (int i = 0; i < n; ++i) {
          if (p.interfaces[i].kind != IFACE_PROLOGIX_LAN) continue;
          ++lan;
          if (std::string(p.interfaces[i].descriptor) == "192.168.1.20:1234") {
            first = std::string(p.interfaces[i].display_text) == "Prologix GPIB-ETHERNET (192.168.1.20)";
            mac = p.interfaces[i].mac_address[5] == 0x07;
          }
        }
        if (lan != 2) return 10 + lan;
        if (!first) return 4;
        if (!mac) return 5;
        u62sim::DiscoveryFaults faults;
        faults.wrong_sequence = true;
        responder.set_faults(faults);
        GPIBPORT q;
        n = q.enumerate_interfaces(false, true);
        for (int i = 0; i < n; ++i)
          if (q.interfaces[i].kind == IFACE_PROLOGIX_LAN) return 6;
        return 0;
      },
      &why);
  if (rc == -1) GTEST_SKIP() << why;
  if (rc == 77) GTEST_SKIP() << "no veth pair in the namespace";
  EXPECT_EQ(0, rc) << "2..: LAN entries found; 3: responder refused; 4: texts; 5: MAC; 6: stale sequence listed";
}

}  // namespace
