// FTDI USB serial devices, in the shape of FTDI's D2XX library: a device
// count, devices opened by index, and the COM port number of each.
//
// Windows loads FTD2XX.dll by name in plat_ftdi_load and maps each call to
// FT_ListDevices (FT_LIST_NUMBER_ONLY), FT_Open, FT_GetComPortNumber and
// FT_Close. POSIX has no such library: the "devices" are the serial ports of
// platform/ports.h whose USB device has FTDI's vendor number 0403 or whose
// kernel driver is ftdi_sio, as sysfs shows them when plat_ftdi_load runs.
#pragma once
#include <cstdint>

typedef struct PLAT_FTDI_IMPL* PLAT_FTDI;
typedef void* PLAT_FTDI_DEVICE;

// D2XX status values; every call below answers PLAT_FT_OK on success.
enum : unsigned long { PLAT_FT_OK = 0, PLAT_FT_INVALID_HANDLE = 1, PLAT_FT_DEVICE_NOT_FOUND = 2,
                       PLAT_FT_DEVICE_NOT_OPENED = 3 };

enum : uint16_t { PLAT_FTDI_VENDOR = 0x0403 };

// The library with all four entries, or null when it cannot be loaded or
// lacks one of them (POSIX: when there is no sysfs to read).
PLAT_FTDI plat_ftdi_load();

// Releases what plat_ftdi_load took; null is ignored.
void plat_ftdi_unload(PLAT_FTDI lib);

// The number of FTDI devices present.
unsigned long plat_ftdi_count(PLAT_FTDI lib, uint32_t* count);

// Opens device index (0 .. count - 1).
unsigned long plat_ftdi_open(PLAT_FTDI lib, int index, PLAT_FTDI_DEVICE* device);

// The COM port number the system gave the open device (-1 for none).
unsigned long plat_ftdi_com_port_number(PLAT_FTDI lib, PLAT_FTDI_DEVICE device, int32_t* number);

unsigned long plat_ftdi_close(PLAT_FTDI lib, PLAT_FTDI_DEVICE device);
