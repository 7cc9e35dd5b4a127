// UDP broadcast sockets and the machine's broadcast-capable IPv4 interfaces,
// for LAN discovery.
//
// Every call that fails leaves the system's reason in the calling thread's
// last error (platform/syserror.h), so that the caller can show its code and
// its text. Addresses are IPv4 in host byte order (0x0A630001 is 10.99.0.1);
// ports are in host byte order.
#pragma once
#include <cstddef>
#include <cstdint>

typedef intptr_t PLAT_SOCKET;
enum : intptr_t { PLAT_INVALID_SOCKET = -1 };

// The backend's network library. Windows starts WinSock 2.2 (counted: each
// successful start is released by one plat_net_stop); POSIX needs nothing
// and answers true.
bool plat_net_start();
void plat_net_stop();

struct PLAT_IPV4_INTERFACE {
  uint32_t address;
  uint32_t flags;  // PLAT_IFF_* bits
};
enum { PLAT_IFF_UP = 0x1, PLAT_IFF_BROADCAST = 0x2, PLAT_IFF_LOOPBACK = 0x4 };

enum PLAT_IFLIST_RESULT {
  PLAT_IFLIST_OK = 0,
  PLAT_IFLIST_SOCKET_FAILED = 1,  // the helper socket could not be made (Windows asks a socket)
  PLAT_IFLIST_QUERY_FAILED = 2,   // the system refused the list
};

// Fills out with at most max IPv4 interface addresses of this machine, in
// the system's order, and *count with how many were written. Interfaces
// beyond max are left out. An interface with several IPv4 addresses gives
// one record per address.
PLAT_IFLIST_RESULT plat_ipv4_interfaces(PLAT_IPV4_INTERFACE* out, int max, int* count);

// An IPv4 UDP socket, blocking until plat_udp_set_nonblocking; or
// PLAT_INVALID_SOCKET. The handle is not inherited by child processes.
PLAT_SOCKET plat_udp_socket();

// Binds to address and port (0: any free port).
bool plat_udp_bind(PLAT_SOCKET s, uint32_t address, uint16_t port);

// Allows sending to broadcast addresses (SO_BROADCAST).
bool plat_udp_set_broadcast(PLAT_SOCKET s);

// Makes sends and receives answer at once instead of waiting.
bool plat_udp_set_nonblocking(PLAT_SOCKET s);

// Keeps an ICMP port-unreachable for an earlier send from failing a later
// receive (Windows' SIO_UDP_CONNRESET). POSIX unconnected sockets never
// report it; there it does nothing and answers true.
bool plat_udp_ignore_connreset(PLAT_SOCKET s);

// Sends one datagram; answers the bytes sent or -1.
int plat_udp_sendto(PLAT_SOCKET s, const void* data, size_t length, uint32_t address, uint16_t port);

enum { PLAT_UDP_WOULD_BLOCK = -2 };

// Takes one datagram of at most size bytes (a longer one is cut). Answers
// its length (0 is a valid empty datagram), PLAT_UDP_WOULD_BLOCK when a
// non-blocking socket has none waiting, or -1 on any other failure. The
// sender's address and port go to the optional outputs.
int plat_udp_recvfrom(PLAT_SOCKET s, void* buf, size_t size, uint32_t* from_address, uint16_t* from_port);

// Closes the socket; PLAT_INVALID_SOCKET is ignored.
void plat_udp_close(PLAT_SOCKET s);

