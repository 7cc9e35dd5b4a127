// Prologix GPIB-ETHERNET adapters answer an identify broadcast on UDP port
// 3040 with their MAC and IPv4 address; one socket per broadcast-capable
// local interface makes the request leave through every local network.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "drivers/shared/gpibport/discovery/discovery.h"
#include "drivers/shared/gpibport/gpibport.h"
#include "platform/clock.h"
#include "platform/msgbox.h"
#include "platform/syserror.h"
#include "platform/udp.h"

namespace {
char g_error_caption[4096];

// The Windows runtime's generator, kept here so that drawing a sequence
// number neither reseeds nor consumes the host process's rand().
uint32_t g_sequence_state;
int next_random() {
  g_sequence_state = g_sequence_state * 214013u + 2531011u;
  return static_cast<int>((g_sequence_state >> 16) & 0x7FFF);
}
}  // namespace

void report_socket_error(const char* format, ...) {
  // The system's text first: formatting the caption must not disturb it.
  char system_text[1024];
  const char* text = plat_last_error_text(system_text, sizeof system_text) ? system_text : "Hosed";
  if (format) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(g_error_caption, sizeof g_error_caption, format, args);
    va_end(args);
  } else {
    std::snprintf(g_error_caption, sizeof g_error_caption, "Error");
  }
  plat_message_box(text, g_error_caption, PLAT_MB_OK | PLAT_MB_ICONINFORMATION);
}

bool GPIBPORT::open_discovery_sockets() {
  if (discovery_socket_count > 0) return false;
  if (!plat_net_start()) {
    report_socket_error("Couldn't open WinSock");
    return false;
  }
  // The network library stays started for the module's life, as a started
  // WinSock does; the count of starts is the system's business.
  PLAT_IPV4_INTERFACE ifaces[GPIBPORT_MAX_DISCOVERY_SOCKETS];
  int count = 0;
  PLAT_IFLIST_RESULT listed = plat_ipv4_interfaces(ifaces, GPIBPORT_MAX_DISCOVERY_SOCKETS, &count);
  if (listed == PLAT_IFLIST_SOCKET_FAILED) {
    report_socket_error("socket() failed, code %d", plat_last_error());
    return false;
  }
  if (listed != PLAT_IFLIST_OK) {
    report_socket_error("WSAIoctl() failed, code %d", plat_last_error());
    return false;
  }
  // Drawn before the sockets are made, so that the sockets a failure leaves
  // open still send a request of their own and not the previous one's.
  g_sequence_state = static_cast<uint32_t>(std::time(nullptr));
  uint16_t sequence = 0;
  while (sequence == 0) sequence = static_cast<uint16_t>(next_random());
  discovery_sequence = sequence;
  for (int i = 0; i < count && discovery_socket_count < GPIBPORT_MAX_DISCOVERY_SOCKETS; ++i) {
    if (!(ifaces[i].flags & PLAT_IFF_BROADCAST)) continue;
    PLAT_SOCKET s = plat_udp_socket();
    if (s == PLAT_INVALID_SOCKET) {
      report_socket_error("socket() failed, code %d", plat_last_error());
      return false;
    }
    if (!plat_udp_bind(s, ifaces[i].address, 0)) {
      report_socket_error("bind() failed, code %d", plat_last_error());
      plat_udp_close(s);
      return false;
    }
    if (!plat_udp_set_broadcast(s)) {
      report_socket_error("Unable to set SO_BROADCAST, code %d", plat_last_error());
      plat_udp_close(s);
      return false;
    }
    plat_udp_set_nonblocking(s);
    plat_udp_ignore_connreset(s);
    discovery_sockets[discovery_socket_count++] = s;
  }
  return true;
}

bool GPIBPORT::send_discovery_request() {
  uint8_t request[DISCOVERY_REQUEST_SIZE];
  build_discovery_request(discovery_sequence, request);
  for (int i = 0; i < discovery_socket_count; ++i) {
    plat_udp_sendto(discovery_sockets[i], request, sizeof request, DISCOVERY_BROADCAST_ADDRESS,
                    PROLOGIX_DISCOVERY_PORT);
  }
  return true;
}

bool GPIBPORT::collect_discovery_replies(int duration_ms) {
  int passes = duration_ms / DISCOVERY_PASS_MS;
  uint8_t reply[DISCOVERY_REPLY_SIZE];
  for (int pass = 0; pass < passes && interface_count < MAX_INTERFACES; ++pass) {
    plat_sleep_ms(DISCOVERY_PASS_MS);
    std::memset(reply, 0, sizeof reply);
    for (int i = 0; i < discovery_socket_count; ++i) {
      std::memset(reply, 0, sizeof reply);
      int got = plat_udp_recvfrom(discovery_sockets[i], reply, sizeof reply, nullptr, nullptr);
      if (got == PLAT_UDP_WOULD_BLOCK) continue;
      if (got < 0) {
        report_socket_error("recvfrom() failed during enumeration, code %d", plat_last_error());
        return false;
      }
      if (reply[0] != 0) break;
    }
    // The buffer is cleared before every read, so it is read whole, as the
    // adapter's short replies leave zeros behind them.
    DISCOVERY_REPLY parsed;
    if (!parse_discovery_reply(reply, sizeof reply, discovery_sequence, &parsed)) continue;
    bool known = false;
    for (int e = 0; e < interface_count && !known; ++e) {
      known = interfaces[e].kind == IFACE_PROLOGIX_LAN && std::memcmp(interfaces[e].mac_address, parsed.mac, 6) == 0;
    }
    if (known) continue;
    INTERFACE_ENTRY& entry = interfaces[interface_count];
    std::memset(entry.display_text, 0, sizeof entry.display_text);
    std::memset(entry.descriptor, 0, sizeof entry.descriptor);
    const char* dotted = format_adapter_address(ADAPTER_SOCKADDR{parsed.address, 0}, false);
    std::snprintf(entry.display_text, sizeof entry.display_text, "Prologix GPIB-ETHERNET (%s)", dotted);
    std::snprintf(entry.descriptor, sizeof entry.descriptor, "%s:%d", dotted, static_cast<int>(PROLOGIX_TCP_PORT));
    entry.kind = IFACE_PROLOGIX_LAN;
    entry.port_number = PROLOGIX_TCP_PORT;
    if (!interface_in_use(entry.descriptor, false)) {
      std::memcpy(entry.mac_address, parsed.mac, 6);
      ++interface_count;
    }
  }
  return true;
}

void GPIBPORT::close_discovery_sockets() {
  // Only the counted slots were ever filled; the others are not trusted to
  // hold the closed value, which keeps a stray 0 from closing descriptor 0.
  int open = discovery_socket_count;
  if (open > GPIBPORT_MAX_DISCOVERY_SOCKETS) open = GPIBPORT_MAX_DISCOVERY_SOCKETS;
  for (int i = 0; i < open; ++i) {
    if (discovery_sockets[i] != PLAT_INVALID_SOCKET) plat_udp_close(discovery_sockets[i]);
    discovery_sockets[i] = PLAT_INVALID_SOCKET;
  }
  discovery_socket_count = 0;
}
