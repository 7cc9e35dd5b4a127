// The machine's serial (COM) ports and what the system knows of the device
// behind each.
//
// Windows lists the devices of the "Ports" setup class (present devices
// only) with their "PortName" and device description. POSIX lists the COM
// numbers of platform/comname.h whose devices exist and describes each from
// sysfs, below $ORVANE_SYSFS_ROOT when that is set (tests use a small tree)
// and /sys otherwise. The sysfs name of a port is the file name of its
// device path with every symbolic link resolved: COM7 -> /dev/ttyUSB0 is
// /sys/class/tty/ttyUSB0.
#pragma once
#include <cstdint>

struct PLAT_SERIAL_DEVICE_INFO {
  // The device's description: on POSIX the USB product text, else the
  // kernel driver's name, else the device's file name. "" when unknown.
  char description[256];
  uint16_t usb_vendor;   // 0 when the device is not on USB or unknown
  uint16_t usb_product;  // 0 likewise
  char driver[64];       // the kernel driver (POSIX) or service; "" unknown
};

// Describes the device of COM number n. Answers false, with info cleared,
// when there is no such port now.
bool plat_serial_port_info(int n, PLAT_SERIAL_DEVICE_INFO* info);

// Called once per serial port device, in the system's order, with the port
// name as the system spells it ("COM7"; Windows may also give names such as
// "LPT1" for devices of the class) and its description ("" when the system
// has none). Answering false stops the walk.
typedef bool (*PLAT_SERIAL_PORT_FN)(void* user, const char* port_name, const char* description);

// Walks the serial ports present now. Devices whose name cannot be read
// are passed over silently.
void plat_enumerate_serial_ports(PLAT_SERIAL_PORT_FN fn, void* user);
