// COM ports in the interface list, described from a sysfs tree, and the
// FTDI test that decides whether the dialog probes a port for an adapter.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "drivers/shared/gpibport/gpibport.h"
#include "sysfs_fixture.h"

namespace {

struct Listed {
  std::string text, descriptor;
  int kind, port;
};

std::vector<Listed> list_com_ports(GPIBPORT& port) {
  int n = port.enumerate_interfaces(true, true);
  std::vector<Listed> out;
  for (int i = 0; i < n; ++i)
    out.push_back({port.interfaces[i].display_text, port.interfaces[i].descriptor, port.interfaces[i].kind,
                   port.interfaces[i].port_number});
  return out;
}

class DiscoveryComPorts : public ::testing::Test {
 protected:
  void SetUp() override {
    tree.add(7, "ttyUSB0", DeviceTree::USB_SERIAL, "0403", "USB Serial Port", "ftdi_sio");
    tree.add(3, "ttyS0", DeviceTree::PLATFORM, "", "", "serial8250");
    tree.add(2, "ttyS1", DeviceTree::SERIAL_BASE, "", "", "serial");
    tree.add(9, "ttyACM0", DeviceTree::USB_ACM, "0483", "Toshiba BT Port", "cdc_acm");
    tree.add(10, "ttyACM1", DeviceTree::USB_ACM, "0483", "Toshiba BT Port 2", "cdc_acm");
    tree.add(11, "ttyUSB1", DeviceTree::USB_SERIAL, "067b", "_`__ Prologix GPIB-USB", "pl2303");
    // A USB device without a product text is described by its driver.
    tree.add(12, "ttyUSB2", DeviceTree::USB_SERIAL, "1a86", "", "ch341");
    // A link to a device that is gone is no port at all.
    tree.link_com(20, tree.root() + "/dev/missing");
  }
  DeviceTree tree;
};

TEST_F(DiscoveryComPorts, ListsEachPresentPortWithItsDescription) {
  GPIBPORT port;
  std::vector<Listed> got = list_com_ports(port);
  std::vector<Listed> want = {
      {"COM2 (serial)", "COM2", IFACE_COM_PORT, 2},
      {"COM3 (serial8250)", "COM3", IFACE_COM_PORT, 3},
      {"COM7 (USB Serial Port)", "COM7", IFACE_COM_PORT, 7},
      {"COM10 (Toshiba BT Port 2)", "COM10", IFACE_COM_PORT, 10},
      {"COM11 (Prologix GPIB-USB)", "COM11", IFACE_COM_PORT, 11},
      {"COM12 (ch341)", "COM12", IFACE_COM_PORT, 12},
  };
  ASSERT_EQ(want.size(), got.size());
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(want[i].text, got[i].text);
    EXPECT_EQ(want[i].descriptor, got[i].descriptor);
    EXPECT_EQ(want[i].kind, got[i].kind);
    EXPECT_EQ(want[i].port, got[i].port);
  }
}

TEST_F(DiscoveryComPorts, PortHeldByAnotherPortIsLeftOutUntilReleased) {
  GPIBPORT holder;
  ASSERT_FALSE(holder.interface_in_use("COM7:baud=115200 parity=N data=8 stop=1", true));
  GPIBPORT port;
  for (const Listed& l : list_com_ports(port)) EXPECT_NE("COM7", l.descriptor);
  holder.release_mark();
  bool found = false;
  for (const Listed& l : list_com_ports(port)) found = found || l.descriptor == "COM7";
  EXPECT_TRUE(found) << "a refresh after the holder let go lists the port again";
}

TEST_F(DiscoveryComPorts, EachEnumerationStartsFromAnEmptyList) {
  GPIBPORT port;
  size_t first = list_com_ports(port).size();
  EXPECT_EQ(first, list_com_ports(port).size());
}

TEST_F(DiscoveryComPorts, FtdiPortsByVendorOrDriver) {
  // A clone whose chip reports another vendor still runs FTDI's driver.
  tree.add(13, "ttyUSB3", DeviceTree::USB_SERIAL, "1234", "Clone", "ftdi_sio");
  GPIBPORT port;
  EXPECT_TRUE(port.list_ftdi_ports(7));
  EXPECT_TRUE(port.list_ftdi_ports(13));
  EXPECT_FALSE(port.list_ftdi_ports(3));
  EXPECT_FALSE(port.list_ftdi_ports(11));
  EXPECT_FALSE(port.list_ftdi_ports(99));
}

TEST(DiscoveryFtdi, NoFtdiWithoutSuchADeviceOrWithoutSysfs) {
  DeviceTree tree;
  tree.add(3, "ttyS0", DeviceTree::PLATFORM, "", "", "serial8250");
  GPIBPORT port;
  EXPECT_FALSE(port.list_ftdi_ports(3));
  setenv("ORVANE_SYSFS_ROOT", (tree.root() + "/no-such-sysfs").c_str(), 1);
  EXPECT_FALSE(port.list_ftdi_ports(3));
}

TEST(DiscoveryComPortsFull, ListStopsAtItsCapacity) {
  DeviceTree tree;
  for (int com = 1; com <= 256; ++com) tree.link_com(com, "/dev/null");
  GPIBPORT port;
  // 256 ports fill the list exactly; nothing is written past it.
  EXPECT_EQ(MAX_INTERFACES, port.enumerate_interfaces(true, true));
  EXPECT_STREQ("COM256", port.interfaces[MAX_INTERFACES - 1].descriptor);
}

}  // namespace
