// A Prologix GPIB-USB adapter is an FTDI device; the dialog only probes COM
// ports that belong to one.
#include "drivers/shared/gpibport/gpibport.h"
#include "platform/ftdi.h"

bool GPIBPORT::list_ftdi_ports(int com_port) {
  PLAT_FTDI lib = plat_ftdi_load();
  if (!lib) return false;
  uint32_t count = 0;
  if (plat_ftdi_count(lib, &count) != PLAT_FT_OK) {
    plat_ftdi_unload(lib);
    return false;
  }
  for (uint32_t i = 0; i < count; ++i) {
    PLAT_FTDI_DEVICE device = nullptr;
    if (plat_ftdi_open(lib, static_cast<int>(i), &device) != PLAT_FT_OK) continue;
    int32_t number = -1;
    unsigned long got = plat_ftdi_com_port_number(lib, device, &number);
    plat_ftdi_close(lib, device);
    if (got == PLAT_FT_OK && number == com_port) {
      plat_ftdi_unload(lib);
      return true;
    }
  }
  plat_ftdi_unload(lib);
  return false;
}
