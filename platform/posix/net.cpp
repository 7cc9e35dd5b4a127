// TCP client sockets on BSD sockets.
#include "platform/net.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

// Resolver failures other than EAI_SYSTEM are kept here as negative codes,
// apart from errno's positive ones.
thread_local int t_resolver_error = 0;

int resolver_code(int eai) { return eai < 0 ? eai : -eai; }

int64_t now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int fd_of(PLAT_SOCKET s) { return static_cast<int>(s); }

}  // namespace

int plat_net_last_error() { return t_resolver_error ? t_resolver_error : errno; }

void plat_net_set_last_error(int code) {
  t_resolver_error = code < 0 ? code : 0;
  errno = code < 0 ? 0 : code;
}

bool plat_net_error_text(int code, char* buf, size_t size) {
  if (size == 0) return false;
  buf[0] = '\0';
  if (code == 0) return false;
  const char* text;
  char tmp[256];
  if (code < 0) {
    // getaddrinfo codes are negative on glibc and musl, positive elsewhere.
    text = gai_strerror(EAI_NONAME < 0 ? code : -code);
  } else {
    text = strerror_r(code, tmp, sizeof tmp);
  }
  if (!text || !*text) return false;
  std::snprintf(buf, size, "%s", text);
  return true;
}

bool plat_net_host_name(char* buf, size_t size) {
  if (size == 0) return false;
  if (gethostname(buf, size) != 0) {
    buf[0] = '\0';
    return false;
  }
  // gethostname may leave a cut name unterminated.
  if (std::memchr(buf, '\0', size) == nullptr) {
    buf[0] = '\0';
    errno = ENAMETOOLONG;
    return false;
  }
  return true;
}

PLAT_SOCKET plat_tcp_socket() {
  t_resolver_error = 0;
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  return fd < 0 ? PLAT_INVALID_SOCKET : static_cast<PLAT_SOCKET>(fd);
}

int plat_net_resolve_ipv4(const char* host, uint32_t* address) {
  t_resolver_error = 0;
  in_addr a;
  if (inet_aton(host, &a)) {
    *address = a.s_addr;
    return 0;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  int r = getaddrinfo(host, nullptr, &hints, &list);
  if (r == 0 && list && list->ai_addr) {
    sockaddr_in sin;
    std::memcpy(&sin, list->ai_addr, sizeof sin);
    *address = sin.sin_addr.s_addr;
    freeaddrinfo(list);
    return 0;
  }
  if (list) freeaddrinfo(list);
  if (r == EAI_SYSTEM && errno != 0) return errno;
  t_resolver_error = resolver_code(r ? r : EAI_NONAME);
  return t_resolver_error;
}

bool plat_tcp_set_nonblocking(PLAT_SOCKET s) {
  int flags = fcntl(fd_of(s), F_GETFL);
  return flags >= 0 && fcntl(fd_of(s), F_SETFL, flags | O_NONBLOCK) == 0;
}

bool plat_tcp_connect(PLAT_SOCKET s, uint32_t address, uint16_t port, int timeout_ms) {
  t_resolver_error = 0;
  if (!plat_tcp_set_nonblocking(s)) return false;
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(port);
  sin.sin_addr.s_addr = address;
  if (connect(fd_of(s), reinterpret_cast<sockaddr*>(&sin), sizeof sin) == 0) return true;
  if (errno != EINPROGRESS && errno != EINTR) return false;
  int64_t deadline = now_ms() + (timeout_ms > 0 ? timeout_ms : 0);
  for (;;) {
    int64_t left = deadline - now_ms();
    if (left < 0) left = 0;
    pollfd p{fd_of(s), POLLOUT, 0};
    int r = poll(&p, 1, static_cast<int>(left));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return false;
    if (r == 0) {
      errno = ETIMEDOUT;
      return false;
    }
    int error = 0;
    socklen_t len = sizeof error;
    if (getsockopt(fd_of(s), SOL_SOCKET, SO_ERROR, &error, &len) != 0) return false;
    if (error != 0) {
      errno = error;
      return false;
    }
    return true;
  }
}

bool plat_tcp_set_nodelay(PLAT_SOCKET s) {
  int one = 1;
  return setsockopt(fd_of(s), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0;
}

int plat_tcp_send(PLAT_SOCKET s, const void* data, size_t length) {
  t_resolver_error = 0;
  for (;;) {
    ssize_t r = send(fd_of(s), data, length, MSG_NOSIGNAL);
    if (r >= 0) return static_cast<int>(r);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return PLAT_NET_WOULD_BLOCK;
    return -1;
  }
}

int plat_tcp_recv(PLAT_SOCKET s, void* buf, size_t size) {
  t_resolver_error = 0;
  for (;;) {
    ssize_t r = recv(fd_of(s), buf, size, 0);
    if (r > 0) return static_cast<int>(r);
    if (r == 0) {
      errno = 0;
      return 0;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return PLAT_NET_WOULD_BLOCK;
    return -1;
  }
}

int plat_net_wait(PLAT_SOCKET s, int what, int wait_ms) {
  short events = 0;
  if (what & PLAT_NET_WAIT_READ) events |= POLLIN;
  if (what & PLAT_NET_WAIT_WRITE) events |= POLLOUT;
  int64_t deadline = now_ms() + (wait_ms > 0 ? wait_ms : 0);
  for (;;) {
    int64_t left = deadline - now_ms();
    if (left < 0) left = 0;
    pollfd p{fd_of(s), events, 0};
    int r = poll(&p, 1, static_cast<int>(left));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return -1;
    if (r == 0) return 0;
    int ready = 0;
    if (p.revents & POLLIN) ready |= PLAT_NET_WAIT_READ;
    if (p.revents & POLLOUT) ready |= PLAT_NET_WAIT_WRITE;
    if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) ready |= PLAT_NET_WAIT_READ | PLAT_NET_WAIT_WRITE;
    return ready;
  }
}

void plat_tcp_close(PLAT_SOCKET s) {
  if (s != PLAT_INVALID_SOCKET) close(fd_of(s));
}
