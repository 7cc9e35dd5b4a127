// TCP client sockets beneath the network byte stream.
//
// The socket type and the network library's start and stop come from
// platform/udp.h. The operations follow WinSock's (socket, inet_addr and
// gethostbyname, connect, setsockopt TCP_NODELAY, ioctlsocket FIONBIO,
// send, recv, closesocket, WSAGetLastError), so that the stream's algorithm
// lives once above them. A failing call leaves its error code for
// plat_net_last_error. Addresses are IPv4 in network byte order (as
// sin_addr holds them); ports in host byte order.
//
// POSIX backend: BSD sockets. Sends never raise SIGPIPE; waits are poll()
// calls bounded by the caller's time.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/udp.h"

enum {
  PLAT_NET_WOULD_BLOCK = -2,  // a non-blocking send or receive could not go on now
  PLAT_NET_HOST_NAME_SIZE = 260,
};

enum { PLAT_NET_WAIT_READ = 1, PLAT_NET_WAIT_WRITE = 2 };

// The error code of the calling thread's last failed network call (errno on
// POSIX, WSAGetLastError on Windows); 0 when there is none.
int plat_net_last_error();

// Sets the code plat_net_last_error answers.
void plat_net_set_last_error(int code);

// Writes the system's description of a code that plat_net_last_error gave
// (or plat_net_resolve_ipv4 answered) into buf, terminated and cut to fit.
// Answers false, leaving buf empty, for 0 or a code the system cannot
// describe.
bool plat_net_error_text(int code, char* buf, size_t size);

// Writes this machine's host name into buf (terminated). Answers false when
// the system has none or it does not fit.
bool plat_net_host_name(char* buf, size_t size);

// A TCP socket for IPv4 (blocking until connected), or PLAT_INVALID_SOCKET.
// The handle is not inherited by child processes.
PLAT_SOCKET plat_tcp_socket();

// Reads host as a dotted IPv4 address or, failing that, resolves it as a
// name (IPv4 only; the first address). Answers 0 and sets *address on
// success, else the resolver's error code (POSIX: errno for system
// failures, a negative getaddrinfo code otherwise; Windows: the WSA code),
// which is also left for plat_net_last_error.
int plat_net_resolve_ipv4(const char* host, uint32_t* address);

// Connects to address and port, giving up after timeout_ms (> 0) with a
// time-out error. Answers true when connected; the socket is then
// non-blocking.
bool plat_tcp_connect(PLAT_SOCKET s, uint32_t address, uint16_t port, int timeout_ms);

// Sends each write at once instead of coalescing small ones (TCP_NODELAY).
bool plat_tcp_set_nodelay(PLAT_SOCKET s);

// Makes sends and receives answer at once instead of waiting.
bool plat_tcp_set_nonblocking(PLAT_SOCKET s);

// Offers length bytes. Answers how many the system took (>= 0),
// PLAT_NET_WOULD_BLOCK when it took none because its buffer is full, or -1
// on failure (a connection the peer closed fails; it never ends the
// process).
int plat_tcp_send(PLAT_SOCKET s, const void* data, size_t length);

// Takes up to size bytes. Answers how many (> 0), 0 when the peer has
// closed the connection, PLAT_NET_WOULD_BLOCK when nothing is there now, or
// -1 on failure. After 0 the last error is 0.
int plat_tcp_recv(PLAT_SOCKET s, void* buf, size_t size);

// Waits up to wait_ms (>= 0) until the socket is readable (data or the
// peer's close) or writable, as the PLAT_NET_WAIT_* bits in what ask.
// Answers the bits that are ready (an error or a hang-up counts as both),
// 0 when the time passed, -1 on failure.
int plat_net_wait(PLAT_SOCKET s, int what, int wait_ms);

// Closes the socket; PLAT_INVALID_SOCKET is ignored.
void plat_tcp_close(PLAT_SOCKET s);
