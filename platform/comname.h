// COM port names and the serial devices behind them.
//
// The driver names serial ports the way its users know them, "COMn" with
// n >= 1, on every system. On POSIX a COM number maps to a device path:
//
//   - When the environment names a folder in ORVANE_DEVICES and that folder
//     exists, COMn is the entry "comN" in it (lower case, N in decimal
//     without leading zeros), usually a symbolic link that the user points
//     at a device such as /dev/serial/by-id/usb-..., or that a test points
//     at a pseudo-terminal. The fixed map below is then not used at all.
//   - Otherwise the fixed map:
//       COM1  - COM32  -> /dev/ttyS0   - /dev/ttyS31
//       COM33 - COM64  -> /dev/ttyUSB0 - /dev/ttyUSB31
//       COM65 - COM96  -> /dev/ttyACM0 - /dev/ttyACM31
//
// On Windows a COM number is the device "\\.\COMn" and every name is used
// behind the device-namespace prefix.
#pragma once
#include <cstddef>

enum {
  PLAT_COM_MAX = 256,        // highest COM number that is ever looked at
  PLAT_COM_PATH_SIZE = 260,  // room for any path these functions answer
};

// Writes the device path of COM number n into path (terminated). Answers
// false, leaving path empty, when n is outside 1..PLAT_COM_MAX, the fixed
// map has no device for n, or the path does not fit into size bytes. The
// device need not exist.
bool plat_com_device_path(int n, char* path, size_t size);

// Writes the device path that a port name opens into path (terminated):
// "COMn" in any letter case names COM number n as above; a name that
// begins with '/' is a device path and is used as it is; any other name is
// taken as a device name in /dev ("ttyUSB0" opens /dev/ttyUSB0; on Windows
// "\\.\" followed by the name). Answers false, leaving path empty, when the
// name is empty, COMn is out of range, or the result does not fit.
bool plat_com_path_for_name(const char* name, char* path, size_t size);

// Fills numbers with the COM numbers whose devices exist now, in ascending
// order, at most capacity of them. Answers how many were written.
int plat_com_list(int* numbers, int capacity);

// Answers the COM number whose device path is path (the same path, or a
// path that resolves to the same device), or 0 when no COM number names it.
int plat_com_number(const char* path);

// Parses a port name "COMn" (any letter case, n >= 1 in decimal, nothing
// after the digits). Answers n, or 0 when the name is not of that form or
// n exceeds PLAT_COM_MAX. Portable: the same on every system.
int plat_com_parse_name(const char* name);
