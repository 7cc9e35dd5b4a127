// The byte streams beneath the port.
#include "drivers/shared/comblock/comblock.h"

#if __has_include("drivers/shared/comblock/serblock.h") && __has_include("drivers/shared/comblock/tcpblock.h")
#include <new>

#include "drivers/shared/comblock/serblock.h"
#include "drivers/shared/comblock/tcpblock.h"

COMBLOCK* gpibport_make_stream(bool network, int default_port, const char* descriptor, char* error_text) {
  if (network) return new (std::nothrow) TCPBLOCK(descriptor, default_port, error_text);
  return new (std::nothrow) SERBLOCK(descriptor, error_text);
}
#else
#include <cstdio>

COMBLOCK* gpibport_make_stream(bool, int, const char*, char* error_text) {
  std::snprintf(error_text, 512, "Port unavailable or in use");
  return nullptr;
}
#endif
