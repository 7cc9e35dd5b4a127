// The byte stream beneath the instrument port: a serial line or a TCP
// connection behind one contract.
#pragma once
#include <cstdint>

enum {
  RX_ERROR = 1,       // a system call failed (its error box has been shown)
  RX_TIMEOUT = 2,     // the overall time-out passed and no byte arrived
  RX_DROPOUT = 3,     // bytes arrived, then the time-out or the quiet gap ended the read
  RX_TERMINATED = 4,  // the terminator arrived; it is the last byte delivered
  RX_FULL = 5,        // RECV_AREA_SIZE bytes were collected
  RX_COUNT = 6,       // max_count bytes were collected
  RX_CANCELLED = 7,   // the poll function answered 0
  RX_CLOSED = 8,      // the peer closed the connection (TCP only)
};

enum { RECV_AREA_SIZE = 65536, TCP_CHUNK_SIZE = 16384 };

#define SERBLOCK_DEFAULT_SETTINGS "baud=115200 parity=N data=8 stop=1"

typedef int (*COMBLOCK_POLL)();

class COMBLOCK {
 public:
  virtual bool is_open() = 0;
  // length -1: the text length of data.
  virtual int write(const void* data, int length, int timeout_ms) { return transmit(data, length, timeout_ms); }
  virtual int transmit(const void* data, int length, int timeout_ms) = 0;
  // Answers the block's receive area holding count_out bytes (not
  // terminated); valid until the next read on this block.
  virtual uint8_t* read(int max_count, int terminator, int timeout_ms, int dropout_msec, COMBLOCK_POLL poll,
                        int* count_out, int* result_out) = 0;
  virtual ~COMBLOCK() {}
};

// SERBLOCK(descriptor, error_text) in serblock.h: descriptor "COMn[:settings]"
// or a device path; error_text null or a 512-character buffer for the
// failure text. TCPBLOCK(descriptor, default_port, error_text) in
// tcpblock.h: "host[:port]".
class SERBLOCK;
class TCPBLOCK;

// The message box of a failing system call: the caption is format applied
// to the arguments ("Error" when format is null), the text the system's
// description of the calling thread's last error ("Hosed" when it has none)
// with every "file" in it turned into "port". Waits until it is answered.
void system_error_box(const char* format, ...);
