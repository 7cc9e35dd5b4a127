// The interface list: COM ports, then Prologix LAN adapters, then NI boards.
#include <cstdio>
#include <cstring>

#include "drivers/shared/gpibport/discovery/discovery.h"
#include "drivers/shared/gpibport/gpibport.h"
#include "drivers/shared/gpibport/ni488.h"
#include "platform/nilib.h"
#include "platform/ports.h"

namespace {

enum { NI_BOARD_COUNT = 9 };

bool starts_with_nocase(const char* text, const char* prefix) {
  for (; *prefix; ++text, ++prefix) {
    char a = *text, b = *prefix;
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
    if (a != b) return false;
  }
  return true;
}

// The number that begins at text: decimal digits only, stopping at the
// first other character, capped so that no port name can overflow it.
int leading_number(const char* text) {
  int n = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    n = n * 10 + (*text - '0');
    if (n > 99999999) break;
  }
  return n;
}

bool add_serial_port(void* user, const char* port_name, const char* description) {
  GPIBPORT* port = static_cast<GPIBPORT*>(user);
  // Devices past a full list are still walked, so that the system's
  // enumeration ends as it would; they are simply not listed.
  if (port->interface_count >= MAX_INTERFACES) return true;
  int n = 0;
  const char* text = nullptr;
  if (!classify_serial_port(port_name, description, &n, &text)) return true;
  INTERFACE_ENTRY& entry = port->interfaces[port->interface_count];
  std::memset(entry.mac_address, 0, sizeof entry.mac_address);
  entry.port_number = n;
  std::snprintf(entry.display_text, sizeof entry.display_text, "COM%d (%s)", n, text);
  std::snprintf(entry.descriptor, sizeof entry.descriptor, "COM%d", n);
  if (!port->interface_in_use(entry.descriptor, false)) {
    entry.kind = IFACE_COM_PORT;
    ++port->interface_count;
  }
  return true;
}

}  // namespace

bool classify_serial_port(const char* port_name, const char* description, int* number, const char** shown) {
  if (!port_name || !starts_with_nocase(port_name, "COM") || port_name[3] < '0' || port_name[3] > '9') return false;
  const char* text = description ? description : "";
  // Some drivers give their ports a description with a "_`__ " prefix that
  // is not meant to be seen.
  if (starts_with_nocase(text, "_`__ ")) text += 5;
  // The Bluetooth stack of some laptops offers a virtual port of this name
  // that hangs any program that opens it.
  if (std::strcmp(text, "Toshiba BT Port") == 0) return false;
  *number = leading_number(port_name + 3);
  *shown = text;
  return true;
}

int GPIBPORT::enumerate_interfaces(bool skip_lan, bool skip_ni) {
  interface_count = 0;
  plat_enumerate_serial_ports(add_serial_port, this);

  if (!skip_lan) {
    open_discovery_sockets();
    send_discovery_request();
    collect_discovery_replies(DISCOVERY_COLLECT_MS);
    close_discovery_sockets();
  }

  if (!skip_ni) {
    for (int i = 0; i < NI_BOARD_COUNT && interface_count < MAX_INTERFACES; ++i) {
      char name[16];
      std::snprintf(name, sizeof name, "GPIB%d", i);
      if (interface_in_use(name, false)) continue;
      unsigned previous = plat_ni_quiet_errors_begin();
      int board = ni488::ibfindA(name);
      plat_ni_quiet_errors_end(previous);
      if (board < 0 || (board & 0x8000)) continue;
      ni488::ibonl(board, 0);
      INTERFACE_ENTRY& entry = interfaces[interface_count];
      std::memset(entry.mac_address, 0, sizeof entry.mac_address);
      entry.port_number = 0;
      std::snprintf(entry.display_text, sizeof entry.display_text, "National Instruments adapter (%s)", name);
      std::snprintf(entry.descriptor, sizeof entry.descriptor, "%s", name);
      entry.kind = IFACE_NI_GPIB;
      ++interface_count;
    }
  }
  return interface_count;
}
