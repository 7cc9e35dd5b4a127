// The identify datagrams and the adapter address text: pure functions, kept
// apart from the sockets so that the reply parser can be fuzzed on its own.
#include <cstdio>
#include <cstring>

#include "drivers/shared/gpibport/discovery/discovery.h"

namespace {
char g_address_text[512];

// Bytes past the datagram read as zero, as they do in the cleared receive
// buffer, however short the input.
uint8_t byte_at(const uint8_t* data, size_t length, size_t i) { return i < length ? data[i] : 0; }
}  // namespace

void build_discovery_request(uint16_t sequence, uint8_t out[DISCOVERY_REQUEST_SIZE]) {
  out[0] = DISCOVERY_MARK;
  out[1] = DISCOVERY_IDENTIFY_REQUEST;
  out[2] = static_cast<uint8_t>(sequence >> 8);
  out[3] = static_cast<uint8_t>(sequence & 0xFF);
  for (int i = 4; i < 10; ++i) out[i] = 0xFF;
  out[10] = 0;
  out[11] = 0;
}

bool parse_discovery_reply(const uint8_t* data, size_t length, uint16_t sequence, DISCOVERY_REPLY* out) {
  if (!data || length < 4) return false;
  if (data[0] != DISCOVERY_MARK || data[1] != DISCOVERY_IDENTIFY_REPLY) return false;
  if (data[2] != static_cast<uint8_t>(sequence >> 8) || data[3] != static_cast<uint8_t>(sequence & 0xFF)) return false;
  for (size_t i = 0; i < 6; ++i) out->mac[i] = byte_at(data, length, 4 + i);
  out->address = 0;
  for (size_t i = 20; i < 24; ++i) out->address = (out->address << 8) | byte_at(data, length, i);
  return true;
}

const char* format_adapter_address(const ADAPTER_SOCKADDR& address, bool with_port) {
  std::memset(g_address_text, 0, sizeof g_address_text);
  uint32_t a = address.address;
  if (with_port) {
    std::snprintf(g_address_text, sizeof g_address_text, "%u.%u.%u.%u:%u", (a >> 24) & 0xFF, (a >> 16) & 0xFF,
                  (a >> 8) & 0xFF, a & 0xFF, static_cast<unsigned>(address.port));
  } else {
    std::snprintf(g_address_text, sizeof g_address_text, "%u.%u.%u.%u", (a >> 24) & 0xFF, (a >> 16) & 0xFF,
                  (a >> 8) & 0xFF, a & 0xFF);
  }
  return g_address_text;
}

