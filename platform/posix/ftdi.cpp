// FTDI devices on POSIX are the serial ports whose sysfs entries say FTDI.
// "Loading the library" takes that list once, so that a device index stays
// the same device for the whole walk, as D2XX's do.
#include "platform/ftdi.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <sys/stat.h>

#include "platform/comname.h"
#include "platform/ports.h"

struct PLAT_FTDI_IMPL {
  int count;
  int com_numbers[PLAT_COM_MAX];
  bool open[PLAT_COM_MAX];
};

namespace {
bool sysfs_present() {
  const char* root = std::getenv("ORVANE_SYSFS_ROOT");
  if (!root || !*root) root = "/sys";
  struct stat st;
  return stat(root, &st) == 0 && S_ISDIR(st.st_mode);
}

// Device handles are index + 1, so that null is never a valid handle.
int index_of(PLAT_FTDI lib, PLAT_FTDI_DEVICE device) {
  intptr_t i = reinterpret_cast<intptr_t>(device) - 1;
  return (lib && i >= 0 && i < lib->count) ? static_cast<int>(i) : -1;
}
}  // namespace

PLAT_FTDI plat_ftdi_load() {
  if (!sysfs_present()) return nullptr;
  PLAT_FTDI lib = new (std::nothrow) PLAT_FTDI_IMPL{};
  if (!lib) return nullptr;
  int numbers[PLAT_COM_MAX];
  int count = plat_com_list(numbers, PLAT_COM_MAX);
  for (int i = 0; i < count; ++i) {
    PLAT_SERIAL_DEVICE_INFO info;
    if (!plat_serial_port_info(numbers[i], &info)) continue;
    if (info.usb_vendor == PLAT_FTDI_VENDOR || std::strcmp(info.driver, "ftdi_sio") == 0) {
      lib->com_numbers[lib->count++] = numbers[i];
    }
  }
  return lib;
}

void plat_ftdi_unload(PLAT_FTDI lib) { delete lib; }

unsigned long plat_ftdi_count(PLAT_FTDI lib, uint32_t* count) {
  if (!lib) return PLAT_FT_INVALID_HANDLE;
  *count = static_cast<uint32_t>(lib->count);
  return PLAT_FT_OK;
}

unsigned long plat_ftdi_open(PLAT_FTDI lib, int index, PLAT_FTDI_DEVICE* device) {
  *device = nullptr;
  if (!lib) return PLAT_FT_INVALID_HANDLE;
  if (index < 0 || index >= lib->count) return PLAT_FT_DEVICE_NOT_FOUND;
  if (lib->open[index]) return PLAT_FT_DEVICE_NOT_OPENED;
  lib->open[index] = true;
  *device = reinterpret_cast<PLAT_FTDI_DEVICE>(static_cast<intptr_t>(index) + 1);
  return PLAT_FT_OK;
}

unsigned long plat_ftdi_com_port_number(PLAT_FTDI lib, PLAT_FTDI_DEVICE device, int32_t* number) {
  *number = -1;
  int i = index_of(lib, device);
  if (i < 0 || !lib->open[i]) return PLAT_FT_INVALID_HANDLE;
  *number = lib->com_numbers[i];
  return PLAT_FT_OK;
}

unsigned long plat_ftdi_close(PLAT_FTDI lib, PLAT_FTDI_DEVICE device) {
  int i = index_of(lib, device);
  if (i < 0 || !lib->open[i]) return PLAT_FT_INVALID_HANDLE;
  lib->open[i] = false;
  return PLAT_FT_OK;
}
