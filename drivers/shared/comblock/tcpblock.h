// The byte stream on a TCP connection: a Prologix GPIB-ETHERNET adapter or
// an instrument that takes command lines on a socket.
#pragma once
#include <cstdint>

#include "drivers/shared/comblock/comblock.h"
#include "platform/net.h"

enum {
  TCPBLOCK_HOST_SIZE = 262,
  TCPBLOCK_ERROR_TEXT_SIZE = 512,
  // A connect gives up after this long, whatever the system's own limit.
  TCPBLOCK_CONNECT_TIMEOUT_MS = 5000,
};

class TCPBLOCK : public COMBLOCK {
 public:
  // descriptor: a host name or dotted IPv4 address, optionally followed by
  // ':' and a port number (cut at the last ':'); default_port when there is
  // none. With error_text the failure text goes there (cut to error_size
  // bytes) instead of into a message box.
  TCPBLOCK(const char* descriptor, int default_port, char* error_text, int error_size = TCPBLOCK_ERROR_TEXT_SIZE);
  ~TCPBLOCK() override;

  bool is_open() override;
  // timeout_ms -1: no limit.
  int transmit(const void* data, int length, int timeout_ms) override;
  uint8_t* read(int max_count, int terminator, int timeout_ms, int dropout_msec, COMBLOCK_POLL poll, int* count_out,
                int* result_out) override;

  // Splits a descriptor the way the constructor does: host (cut to size
  // bytes) and *port. Answers false when the host does not fit.
  static bool split_descriptor(const char* descriptor, int default_port, char* host, int size, int* port);

  const char* host_text() const { return host; }
  int port_number() const { return port; }

 private:
  bool connect_to_server(char* error_text, int error_size);
  void disconnect();
  // 1 and *byte, or 0 (nothing now), -2 (closed) or -1 (error; code in
  // net_error).
  int next_byte(uint8_t* byte);
  int refill();

  bool open_flag;
  bool network_started;
  char host[TCPBLOCK_HOST_SIZE];
  int port;
  bool host_fits;  // false: the host text was longer than the block keeps
  PLAT_SOCKET sock;
  uint32_t server_address;
  uint8_t chunk[TCP_CHUNK_SIZE];
  int chunk_position;
  int chunk_fill;
  // A close or an error met after part of a refill; reported by the next
  // refill so that the bytes before it are delivered first.
  int deferred;
  int deferred_code;
  int net_error;
  uint8_t receive_area[RECV_AREA_SIZE];
};
