#include "drivers/shared/comblock/tcpblock.h"

#include <cstdio>
#include <cstring>

#include "drivers/shared/comblock/comblock_internal.h"
#include "platform/clock.h"
#include "platform/syserror.h"

namespace {

const char kClosed[] = "Connection was closed by remote host (WSA code=%d)";

// The port after the last ':' the way atoi reads it; out of range is 0.
int parse_port(const char* text) {
  while (*text == ' ' || *text == '\t') ++text;
  bool negative = *text == '-';
  if (*text == '+' || *text == '-') ++text;
  long value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    value = value * 10 + (*text - '0');
    if (value > 65535) return 0;
  }
  return negative ? 0 : static_cast<int>(value);
}

void net_box(int code, const char* format, int a, int b) {
  char description[512];
  if (!plat_net_error_text(code, description, sizeof description)) description[0] = '\0';
  comblock_error_box_text(description, format, a, b);
}

}  // namespace

TCPBLOCK::TCPBLOCK(const char* descriptor, int default_port, char* error_text, int error_size)
    : open_flag(false),
      network_started(false),
      port(default_port),
      host_fits(true),
      sock(PLAT_INVALID_SOCKET),
      server_address(0),
      chunk_position(0),
      chunk_fill(0),
      deferred(0),
      deferred_code(0),
      net_error(0) {
  host_fits = split_descriptor(descriptor, default_port, host, sizeof host, &port);
  open_flag = connect_to_server(error_text, error_size);
  chunk_position = chunk_fill = 0;
}

bool TCPBLOCK::split_descriptor(const char* descriptor, int default_port, char* host, int size, int* port) {
  *port = default_port;
  if (size <= 0) return false;
  if (!descriptor) descriptor = "";
  const char* colon = std::strrchr(descriptor, ':');
  size_t length = colon ? static_cast<size_t>(colon - descriptor) : std::strlen(descriptor);
  if (colon) *port = parse_port(colon + 1);
  // A cut host could name another machine; it is refused instead.
  bool fits = length < static_cast<size_t>(size);
  if (!fits) length = static_cast<size_t>(size) - 1;
  std::memcpy(host, descriptor, length);
  host[length] = '\0';
  return fits;
}

TCPBLOCK::~TCPBLOCK() { disconnect(); }

bool TCPBLOCK::is_open() { return open_flag; }

void TCPBLOCK::disconnect() {
  if (sock != PLAT_INVALID_SOCKET) {
    plat_tcp_close(sock);
    sock = PLAT_INVALID_SOCKET;
  }
  if (network_started) {
    plat_net_stop();
    network_started = false;
  }
  open_flag = false;
}

bool TCPBLOCK::connect_to_server(char* error_text, int error_size) {
  auto fail = [&](const char* text) {
    if (error_text)
      comblock_set_error_text(error_text, error_size, text);
    else
      system_error_box("%s", text);
    return false;
  };
  if (!plat_net_start()) return fail("Couldn't open WinSock");
  network_started = true;
  char client[PLAT_NET_HOST_NAME_SIZE];
  if (!plat_net_host_name(client, sizeof client)) {
    plat_net_stop();
    network_started = false;
    return fail("(Client name unobtainable)");
  }
  sock = plat_tcp_socket();
  if (sock == PLAT_INVALID_SOCKET) {
    plat_net_stop();
    network_started = false;
    return fail("Bad socket!");
  }
  int code = 0;
  if (!host_fits || !*host) {
    plat_net_set_last_error(0);
  } else {
    code = plat_net_resolve_ipv4(host, &server_address);
  }
  if (!host_fits || !*host || code != 0) {
    if (error_text)
      comblock_set_error_text(error_text, error_size, "Unable to resolve server name");
    else
      net_box(code, "Unable to resolve server name, WSA code %d", code, 0);
    disconnect();
    return false;
  }
  // A port that no server can have is refused without a packet leaving.
  bool connected = false;
  if (port >= 1 && port <= 65535) {
    connected = plat_tcp_connect(sock, server_address, static_cast<uint16_t>(port), TCPBLOCK_CONNECT_TIMEOUT_MS);
    code = connected ? 0 : plat_net_last_error();
  } else {
    code = 0;
  }
  if (!connected) {
    if (error_text)
      comblock_set_error_text(error_text, error_size, "Unable to connect to server");
    else
      net_box(code, "Unable to connect to server, WSA code %d", code, 0);
    disconnect();
    return false;
  }
  (void)plat_tcp_set_nodelay(sock);
  (void)plat_tcp_set_nonblocking(sock);
  return true;
}

int TCPBLOCK::transmit(const void* data, int length, int timeout_ms) {
  if (sock == PLAT_INVALID_SOCKET || !data) return 0;
  if (length == -1) length = static_cast<int>(std::strlen(static_cast<const char*>(data)));
  if (length < 0) return 0;
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  const uint32_t start = plat_tick_ms();
  int sent = 0;
  for (;;) {
    uint32_t now = plat_tick_ms();
    if (timeout_ms != -1 && comblock_elapsed_over(now, start, timeout_ms)) return 0;
    int r = plat_tcp_send(sock, bytes + sent, static_cast<size_t>(length - sent));
    if (r >= 0) {
      // The rest of a partly taken block goes out too: half a command line
      // would run together with the next one.
      sent += r;
      if (sent >= length) return 1;
      continue;
    }
    if (r == PLAT_NET_WOULD_BLOCK) {
      int wait = 100;
      if (timeout_ms != -1) {
        int left = timeout_ms - static_cast<int>(now - start) + 1;
        if (left < wait) wait = left > 1 ? left : 1;
      }
      (void)plat_net_wait(sock, PLAT_NET_WAIT_WRITE, wait);
      continue;
    }
    int code = plat_net_last_error();
    net_box(code, kClosed, code, 0);
    return 0;
  }
}

int TCPBLOCK::refill() {
  if (deferred) {
    int r = deferred;
    net_error = deferred_code;
    deferred = 0;
    return r;
  }
  int total = 0;
  while (total < TCP_CHUNK_SIZE) {
    int r = plat_tcp_recv(sock, chunk + total, static_cast<size_t>(TCP_CHUNK_SIZE - total));
    if (r > 0) {
      total += r;
      continue;
    }
    if (r == PLAT_NET_WOULD_BLOCK) return total;
    int status = r == 0 ? -2 : -1;
    int code = r == 0 ? 0 : plat_net_last_error();
    if (total > 0) {
      // Deliver what came before the close or the error first.
      deferred = status;
      deferred_code = code;
      return total;
    }
    net_error = code;
    return status;
  }
  return total;
}

int TCPBLOCK::next_byte(uint8_t* byte) {
  if (chunk_position < chunk_fill) {
    *byte = chunk[chunk_position++];
    return 1;
  }
  chunk_position = chunk_fill = 0;
  int r = refill();
  if (r <= 0) return r;
  chunk_fill = r;
  *byte = chunk[chunk_position++];
  return 1;
}

uint8_t* TCPBLOCK::read(int max_count, int terminator, int timeout_ms, int dropout_msec, COMBLOCK_POLL poll,
                        int* count_out, int* result_out) {
  const uint32_t start = plat_tick_ms();
  uint32_t last = start;
  int n = 0;
  int result = RX_ERROR;
  if (count_out) *count_out = 0;
  if (sock == PLAT_INVALID_SOCKET) {
    if (result_out) *result_out = RX_ERROR;
    return receive_area;
  }
  for (;;) {
    uint32_t now = plat_tick_ms();
    result = comblock_read_limit(now, start, last, n, timeout_ms, dropout_msec);
    if (result) break;
    uint8_t byte;
    int r = next_byte(&byte);
    if (r == 1) {
      last = now;
      result = comblock_take_byte(receive_area, &n, byte, terminator, max_count);
      if (count_out) *count_out = n;
      if (result) break;
      continue;
    }
    if (r == 0) {
      if (poll && poll() == 0) {
        result = RX_CANCELLED;
        break;
      }
      // Sleep until data, the close, or the next time limit, whichever
      // comes first, instead of spinning.
      int wait = comblock_wait_ms(now, start, last, n, timeout_ms, dropout_msec);
      if (plat_net_wait(sock, PLAT_NET_WAIT_READ, wait) < 0) {
        int code = plat_net_last_error();
        net_box(code, "ReadFile error, result=%d, WSA code=%d", -1, code);
        result = RX_ERROR;
        break;
      }
      continue;
    }
    if (r == -2) {
      net_box(net_error, kClosed, net_error, 0);
      result = RX_CLOSED;
      break;
    }
    net_box(net_error, "ReadFile error, result=%d, WSA code=%d", -1, net_error);
    result = RX_ERROR;
    break;
  }
  if (result_out) *result_out = result;
  return receive_area;
}
