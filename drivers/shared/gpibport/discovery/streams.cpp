// The probes build their streams here, apart from the probe logic, so that
// the logic only ever sees the byte-stream contract.
#include <cstdio>
#include <new>

#include "drivers/shared/comblock/comblock.h"
#include "drivers/shared/gpibport/discovery/discovery.h"

#if __has_include("drivers/shared/comblock/serblock.h")
#include "drivers/shared/comblock/serblock.h"
COMBLOCK* open_serial_probe_stream(const char* descriptor, char* error_text) {
  return new (std::nothrow) SERBLOCK(descriptor, error_text);
}
#else
COMBLOCK* open_serial_probe_stream(const char*, char* error_text) {
  std::snprintf(error_text, 512, "Port unavailable or in use");
  return nullptr;
}
#endif

#if __has_include("drivers/shared/comblock/tcpblock.h")
#include "drivers/shared/comblock/tcpblock.h"
COMBLOCK* open_lan_probe_stream(const char* descriptor, int default_port, char* error_text) {
  return new (std::nothrow) TCPBLOCK(descriptor, default_port, error_text);
}
#else
COMBLOCK* open_lan_probe_stream(const char*, int, char* error_text) {
  std::snprintf(error_text, 512, "Unable to connect to server");
  return nullptr;
}
#endif
