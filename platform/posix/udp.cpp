// UDP discovery sockets on BSD sockets. The interface list comes from
// getifaddrs, which has no helper socket and so never fails the way
// Windows' SIO_GET_INTERFACE_LIST query can on its socket.
#include "platform/udp.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

bool plat_net_start() { return true; }

void plat_net_stop() {}

PLAT_IFLIST_RESULT plat_ipv4_interfaces(PLAT_IPV4_INTERFACE* out, int max, int* count) {
  *count = 0;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return PLAT_IFLIST_QUERY_FAILED;
  int n = 0;
  for (ifaddrs* a = list; a && n < max; a = a->ifa_next) {
    if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET) continue;
    sockaddr_in sin;
    std::memcpy(&sin, a->ifa_addr, sizeof sin);
    uint32_t flags = 0;
    if (a->ifa_flags & IFF_UP) flags |= PLAT_IFF_UP;
    if (a->ifa_flags & IFF_BROADCAST) flags |= PLAT_IFF_BROADCAST;
    if (a->ifa_flags & IFF_LOOPBACK) flags |= PLAT_IFF_LOOPBACK;
    out[n].address = ntohl(sin.sin_addr.s_addr);
    out[n].flags = flags;
    ++n;
  }
  freeifaddrs(list);
  *count = n;
  return PLAT_IFLIST_OK;
}

PLAT_SOCKET plat_udp_socket() {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  return fd < 0 ? PLAT_INVALID_SOCKET : static_cast<PLAT_SOCKET>(fd);
}

bool plat_udp_bind(PLAT_SOCKET s, uint32_t address, uint16_t port) {
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(port);
  sin.sin_addr.s_addr = htonl(address);
  return bind(static_cast<int>(s), reinterpret_cast<sockaddr*>(&sin), sizeof sin) == 0;
}

bool plat_udp_set_broadcast(PLAT_SOCKET s) {
  int one = 1;
  return setsockopt(static_cast<int>(s), SOL_SOCKET, SO_BROADCAST, &one, sizeof one) == 0;
}

bool plat_udp_set_nonblocking(PLAT_SOCKET s) {
  int fd = static_cast<int>(s);
  int fl = fcntl(fd, F_GETFL);
  return fl >= 0 && fcntl(fd, F_SETFL, fl | O_NONBLOCK) == 0;
}

// Linux reports ICMP errors only on connected UDP sockets (or with
// IP_RECVERR), so an unconnected discovery socket never sees them.
bool plat_udp_ignore_connreset(PLAT_SOCKET) { return true; }

int plat_udp_sendto(PLAT_SOCKET s, const void* data, size_t length, uint32_t address, uint16_t port) {
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(port);
  sin.sin_addr.s_addr = htonl(address);
  ssize_t n;
  do {
    n = sendto(static_cast<int>(s), data, length, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? -1 : static_cast<int>(n);
}

int plat_udp_recvfrom(PLAT_SOCKET s, void* buf, size_t size, uint32_t* from_address, uint16_t* from_port) {
  sockaddr_in sin{};
  socklen_t len = sizeof sin;
  ssize_t n;
  do {
    n = recvfrom(static_cast<int>(s), buf, size, 0, reinterpret_cast<sockaddr*>(&sin), &len);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return PLAT_UDP_WOULD_BLOCK;
    return -1;
  }
  if (from_address) *from_address = ntohl(sin.sin_addr.s_addr);
  if (from_port) *from_port = ntohs(sin.sin_port);
  return static_cast<int>(n);
}

void plat_udp_close(PLAT_SOCKET s) {
  if (s != PLAT_INVALID_SOCKET) close(static_cast<int>(s));
}
