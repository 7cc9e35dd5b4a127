// A small device tree for the discovery tests: a devices folder of comN
// links (ORVANE_DEVICES) and a sysfs tree (ORVANE_SYSFS_ROOT) laid out as
// Linux lays out USB serial adapters, ACM modems and on-board UARTs. The
// tree also has a folder of interface marks of its own (ORVANE_MARK_DIR),
// so that a port one test holds is not "in use" for a test running beside
// it.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <unistd.h>

namespace fs = std::filesystem;

class DeviceTree {
 public:
  // SERIAL_BASE: a UART as newer kernels show it, with the serial-base
  // "port" and "ctrl" devices between the tty and the UART's own device.
  enum Bus { USB_SERIAL, USB_ACM, PLATFORM, SERIAL_BASE };

  DeviceTree() {
    char tmpl[] = "/tmp/u62-discovery-XXXXXX";
    root_ = mkdtemp(tmpl) ? tmpl : "";
    fs::create_directories(root_ + "/devices");
    fs::create_directories(root_ + "/dev");
    fs::create_directories(root_ + "/sys/class/tty");
    fs::create_directories(root_ + "/sys/bus/usb-serial/drivers/ftdi_sio");
    fs::create_directories(root_ + "/sys/bus/usb-serial/drivers/pl2303");
    fs::create_directories(root_ + "/sys/bus/usb/drivers/cdc_acm");
    fs::create_directories(root_ + "/sys/bus/platform/drivers/serial8250");
    fs::create_directories(root_ + "/sys/bus/pnp/drivers/serial");
    fs::create_directories(root_ + "/sys/bus/serial-base/drivers/ctrl");
    fs::create_directories(root_ + "/sys/bus/serial-base/drivers/port");
    // A root hub above every USB device, with texts of its own that must
    // never be taken for a port's.
    write(root_ + "/sys/devices/usb1/idVendor", "1d6b");
    write(root_ + "/sys/devices/usb1/product", "xHCI Host Controller");
    const char* marks = std::getenv("ORVANE_MARK_DIR");
    had_marks_ = marks != nullptr;
    if (marks) old_marks_ = marks;
    setenv("ORVANE_MARK_DIR", (root_ + "/marks").c_str(), 1);
    setenv("ORVANE_DEVICES", (root_ + "/devices").c_str(), 1);
    setenv("ORVANE_SYSFS_ROOT", (root_ + "/sys").c_str(), 1);
  }

  ~DeviceTree() {
    unsetenv("ORVANE_DEVICES");
    unsetenv("ORVANE_SYSFS_ROOT");
    if (had_marks_)
      setenv("ORVANE_MARK_DIR", old_marks_.c_str(), 1);
    else
      unsetenv("ORVANE_MARK_DIR");
    std::error_code ec;
    if (!root_.empty()) fs::remove_all(root_, ec);
  }

  const std::string& root() const { return root_; }

  // COM number com -> a device node named name. vendor "" leaves the
  // device without USB ids; product "" without a product text.
  void add(int com, const std::string& name, Bus bus, const std::string& vendor, const std::string& product,
           const std::string& driver) {
    std::string node = root_ + "/dev/" + name;
    write(node, "");
    link_com(com, node);
    std::string dev;
    if (bus == SERIAL_BASE) {
      std::string pnp = root_ + "/sys/devices/pnp0/00:0" + std::to_string(++pnp_count_);
      std::string ctrl = pnp + "/" + fs::path(pnp).filename().string() + ":0";
      dev = ctrl + "/" + fs::path(ctrl).filename().string() + ".0";
      fs::create_directories(dev);
      fs::create_directory_symlink(root_ + "/sys/bus/pnp/drivers/" + driver, pnp + "/driver");
      fs::create_directory_symlink(root_ + "/sys/bus/serial-base/drivers/ctrl", ctrl + "/driver");
      fs::create_directory_symlink(root_ + "/sys/bus/serial-base/drivers/port", dev + "/driver");
    } else if (bus == PLATFORM) {
      dev = root_ + "/sys/devices/platform/serial8250/" + name;
      fs::create_directories(dev);
      if (!driver.empty()) fs::create_directory_symlink(root_ + "/sys/bus/platform/drivers/" + driver, dev + "/driver");
    } else {
      std::string usb = root_ + "/sys/devices/usb1/1-" + std::to_string(++usb_count_);
      fs::create_directories(usb);
      if (!vendor.empty()) {
        write(usb + "/idVendor", vendor);
        write(usb + "/idProduct", "6001");
      }
      if (!product.empty()) write(usb + "/product", product);
      std::string iface = usb + "/1-" + std::to_string(usb_count_) + ":1.0";
      fs::create_directories(iface);
      if (bus == USB_ACM) {
        dev = iface;
        if (!driver.empty()) fs::create_directory_symlink(root_ + "/sys/bus/usb/drivers/" + driver, dev + "/driver");
      } else {
        dev = iface + "/" + name;
        fs::create_directories(dev);
        if (!driver.empty())
          fs::create_directory_symlink(root_ + "/sys/bus/usb-serial/drivers/" + driver, dev + "/driver");
      }
    }
    fs::create_directories(root_ + "/sys/class/tty/" + name);
    fs::create_directory_symlink(dev, root_ + "/sys/class/tty/" + name + "/device");
  }

  // COM number com -> any existing path (a pseudo-terminal, for example).
  void link_com(int com, const std::string& target) {
    std::string link = root_ + "/devices/com" + std::to_string(com);
    std::error_code ec;
    fs::remove(link, ec);
    fs::create_symlink(target, link);
  }

  static void write(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path) << text << "\n";
  }

 private:
  std::string root_;
  std::string old_marks_;
  bool had_marks_ = false;
  int usb_count_ = 0;
  int pnp_count_ = 0;
};
