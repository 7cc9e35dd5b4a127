// The probes build their streams here, apart from the probe logic, so that
// the logic only ever sees the byte-stream contract.
#include <new>

#include "drivers/shared/comblock/serblock.h"
#include "drivers/shared/comblock/tcpblock.h"
#include "drivers/shared/gpibport/discovery/discovery.h"

COMBLOCK* open_serial_probe_stream(const char* descriptor, char* error_text) {
  return new (std::nothrow) SERBLOCK(descriptor, error_text);
}

COMBLOCK* open_lan_probe_stream(const char* descriptor, int default_port, char* error_text) {
  return new (std::nothrow) TCPBLOCK(descriptor, default_port, error_text);
}
