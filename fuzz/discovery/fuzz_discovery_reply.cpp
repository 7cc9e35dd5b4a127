// The LAN identify reply parser on arbitrary datagrams: it must never read
// past the bytes it is given, and must accept exactly the replies whose
// first four bytes are the mark, the reply type and the sequence number.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "drivers/shared/gpibport/discovery/discovery.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > DISCOVERY_REPLY_SIZE) size = DISCOVERY_REPLY_SIZE;
  uint16_t sequence = size >= 4 ? static_cast<uint16_t>(data[2] << 8 | data[3]) : 0x1234;

  // Exactly the datagram's bytes on the heap, so that the address sanitizer
  // sees any read past its end.
  std::vector<uint8_t> exact(data, data + size);
  DISCOVERY_REPLY a{};
  bool ok = parse_discovery_reply(exact.data(), exact.size(), sequence, &a);
  bool expected = size >= 4 && data[0] == DISCOVERY_MARK && data[1] == DISCOVERY_IDENTIFY_REPLY;
  if (ok != expected) std::abort();

  // The driver's way: a cleared 512-byte buffer read whole.
  uint8_t buffer[DISCOVERY_REPLY_SIZE] = {};
  std::memcpy(buffer, data, size);
  DISCOVERY_REPLY b{};
  bool ok_buffer = parse_discovery_reply(buffer, sizeof buffer, sequence, &b);
  if (ok_buffer != ok) std::abort();
  if (ok && (std::memcmp(a.mac, b.mac, 6) != 0 || a.address != b.address)) std::abort();

  if (ok) {
    const char* text = format_adapter_address(ADAPTER_SOCKADDR{a.address, 1234}, true);
    if (std::strlen(text) > 21) std::abort();  // "255.255.255.255:65535"
  }
  return 0;
}
