// Interface discovery helpers shared by the port's discovery operations and
// their tests: the LAN identify datagrams, the adapter address text and the
// socket error report.
#pragma once
#include <cstddef>
#include <cstdint>

enum {
  DISCOVERY_MARK = 0x5A,  // 'Z', the first byte of every discovery datagram
  DISCOVERY_IDENTIFY_REQUEST = 0x00,
  DISCOVERY_IDENTIFY_REPLY = 0x01,
  DISCOVERY_REQUEST_SIZE = 12,
  DISCOVERY_REPLY_SIZE = 512,  // the receive buffer; longer datagrams are cut
  DISCOVERY_PASS_MS = 10,
  DISCOVERY_COLLECT_MS = 200,
};

#define DISCOVERY_BROADCAST_ADDRESS 0xFFFFFFFFu

// What the driver takes from an identify reply.
struct DISCOVERY_REPLY {
  uint8_t mac[6];
  uint32_t address;  // host byte order: 0xC0A80114 is 192.168.1.20
};

// Writes the 12-byte identify request for that sequence number.
void build_discovery_request(uint16_t sequence, uint8_t out[DISCOVERY_REQUEST_SIZE]);

// Whether data holds an identify reply to the request with that sequence
// number; if so, fills *out. Only the first length bytes are read; bytes
// the datagram does not have count as zero, so a short valid reply names
// the address 0.0.0.0.
bool parse_discovery_reply(const uint8_t* data, size_t length, uint16_t sequence, DISCOVERY_REPLY* out);

// An IPv4 socket address in host byte order.
struct ADAPTER_SOCKADDR {
  uint32_t address;
  uint16_t port;
};

// "a.b.c.d", or "a.b.c.d:port" with with_port, in a module-wide buffer that
// stays valid until the next call.
const char* format_adapter_address(const ADAPTER_SOCKADDR& address, bool with_port);

// Shows a message box whose caption is the formatted text ("Error" for a
// null format) and whose message is the system's text for the calling
// thread's last error, "Hosed" when the system has none.
void report_socket_error(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Whether a serial port device of that name and description is listed:
// its name is COM followed by a digit, and it is not the "Toshiba BT Port".
// *number gets the port number, *shown the description to show.
bool classify_serial_port(const char* port_name, const char* description, int* number, const char** shown);

class COMBLOCK;

// The probes' own streams: a serial line on a COM descriptor, or a TCP
// connection to "host[:port]". The failure text of a stream that cannot be
// opened goes to error_text (512 characters). Null only when memory runs
// out; otherwise the caller checks is_open and deletes the stream.
COMBLOCK* open_serial_probe_stream(const char* descriptor, char* error_text);
COMBLOCK* open_lan_probe_stream(const char* descriptor, int default_port, char* error_text);
