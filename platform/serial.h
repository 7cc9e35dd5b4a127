// Serial device primitives beneath the serial byte stream.
//
// The operations follow the shape of an overlapped Windows serial port
// (CreateFileA, BuildCommDCBA, Get/SetCommState, GetCommProperties,
// SetCommTimeouts, EscapeCommFunction, ReadFile/WriteFile with an event,
// PurgeComm, CloseHandle), so that the stream's algorithm lives once above
// them. Every operation that answers false or a failure leaves the
// system's reason in the calling thread's last error (platform/syserror.h).
//
// POSIX backend: termios on a descriptor opened non-blocking; waits are
// poll() calls, so a wait on a silent line costs no processor time. How the
// portable state maps onto termios is written beside PLAT_SERIAL_STATE.
#pragma once
#include <cstddef>
#include <cstdint>

typedef struct PLAT_SERIAL_IMPL* PLAT_SERIAL;

enum {
  PLAT_PARITY_NONE = 'N',
  PLAT_PARITY_EVEN = 'E',
  PLAT_PARITY_ODD = 'O',
  PLAT_PARITY_MARK = 'M',
  PLAT_PARITY_SPACE = 'S',
};
enum { PLAT_STOP_1 = 10, PLAT_STOP_1_5 = 15, PLAT_STOP_2 = 20 };
enum { PLAT_DTR_DISABLE = 0, PLAT_DTR_ENABLE = 1, PLAT_DTR_HANDSHAKE = 2 };
enum { PLAT_RTS_DISABLE = 0, PLAT_RTS_ENABLE = 1, PLAT_RTS_HANDSHAKE = 2, PLAT_RTS_TOGGLE = 3 };
enum { PLAT_SWITCH_UNSET = -1, PLAT_SWITCH_OFF = 0, PLAT_SWITCH_ON = 1 };

// What a settings text says, as the classic mode command reads it:
//   baud=B   bits per second; the two-digit forms 11 15 30 60 12 24 48 96
//            19 mean 110 ... 19200
//   parity=P n, e, o, m or s
//   data=D   5, 6, 7 or 8
//   stop=S   1, 1.5 or 2
//   to=on|off  xon=on|off  odsr=on|off  octs=on|off  idsr=on|off
//   dtr=on|off|hs  rts=on|off|hs|tg
// Keys and values in any letter case, separated by blanks; each key at most
// once. The older positional form "B,P,D,S[,x|p]" (for example 96,n,8,1) is
// read as well; its last field asks for XON/XOFF (x) or hardware (p)
// handshaking. A zero (or PLAT_SWITCH_UNSET) field was not given.
struct PLAT_SERIAL_LINE {
  uint32_t baud;
  uint8_t data_bits;
  char parity;        // PLAT_PARITY_*
  uint8_t stop_bits;  // PLAT_STOP_*
  int8_t timeout_retry;
  int8_t xon;
  int8_t out_dsr;
  int8_t out_cts;
  int8_t dtr;  // PLAT_DTR_* or PLAT_SWITCH_UNSET
  int8_t rts;  // PLAT_RTS_* or PLAT_SWITCH_UNSET
  int8_t in_dsr;
};

// The port's line state, the fields of a Windows device-control block that
// the stream uses. POSIX keeps what termios cannot hold beside the
// descriptor and answers it back from plat_serial_get_state:
//   baud, data_bits, parity (mark and space through CMSPAR), stop_bits
//     (1.5 and 2 both set CSTOPB)  -> c_cflag and the line speeds
//   binary -> raw mode (no line editing, echo, signals or translation);
//     the port is always raw, as a Windows port always is binary
//   parity_check -> INPCK
//   out_cts_flow or rts_control HANDSHAKE -> CRTSCTS
//   out_x -> IXON, in_x -> IXOFF
//   dtr_control ENABLE/HANDSHAKE raise DTR and DISABLE drops it;
//     rts_control ENABLE/TOGGLE raise RTS and DISABLE drops it (ignored by
//     devices without modem lines, such as pseudo-terminals)
//   out_dsr_flow, dsr_sensitivity, error_char, null_strip, abort_on_error,
//     tx_continue_on_xoff, xon_limit, xoff_limit -> kept, no POSIX effect
struct PLAT_SERIAL_STATE {
  uint32_t baud;
  uint8_t data_bits;
  char parity;
  uint8_t stop_bits;
  bool binary;
  bool parity_check;
  bool out_cts_flow;
  bool out_dsr_flow;
  uint8_t dtr_control;
  bool dsr_sensitivity;
  bool tx_continue_on_xoff;
  bool out_x;
  bool in_x;
  bool error_char;
  bool null_strip;
  uint8_t rts_control;
  bool abort_on_error;
  uint16_t xon_limit;
  uint16_t xoff_limit;
};

enum PLAT_SERIAL_IO {
  PLAT_SERIAL_DONE = 0,     // the operation completed
  PLAT_SERIAL_PENDING = 1,  // it goes on; wait for it or cancel it
  PLAT_SERIAL_FAILED = 2,   // it failed; the last error says why
};

enum {
  PLAT_PURGE_TXABORT = 0x1,  // end a pending write; POSIX also drops unsent output
  PLAT_PURGE_RXABORT = 0x2,  // end a pending read; received bytes stay
  PLAT_PURGE_TXCLEAR = 0x4,  // drop output not yet sent
  PLAT_PURGE_RXCLEAR = 0x8,  // drop input not yet read
};

// Parses a settings text (grammar above) into *line, zeroing it first.
// Answers false for a text that does not follow the grammar, an empty text
// included; *line then holds zeros. Changes no port.
bool plat_serial_parse_settings(const char* text, PLAT_SERIAL_LINE* line);

// Opens the device at path for reading and writing, for this process only:
// while it is open, any further open of the same device, from this process
// or another, fails. POSIX takes an flock on the descriptor and sets
// TIOCEXCL; a path that is not a terminal device fails (ENOTTY) without
// being opened. The handle is not inherited by child programs. Answers null
// on failure.
PLAT_SERIAL plat_serial_open(const char* path);

// Closes the handle (null is ignored); the handle is gone whatever the
// answer. Answers false when the system reported a failure.
bool plat_serial_close(PLAT_SERIAL port);

// Raises (on) or drops the DTR line.
bool plat_serial_set_dtr(PLAT_SERIAL port, bool on);

// Reads the port's current line state.
bool plat_serial_get_state(PLAT_SERIAL port, PLAT_SERIAL_STATE* state);

// Applies the whole state. Refuses (EINVAL) a speed, data size, parity or
// stop setting that the device cannot take, leaving the port as it was.
bool plat_serial_set_state(PLAT_SERIAL port, const PLAT_SERIAL_STATE* state);

// The size in bytes of the device's receive queue (GetCommProperties'
// current receive queue). POSIX answers the terminal layer's 4096.
bool plat_serial_receive_queue(PLAT_SERIAL port, uint32_t* size);

// Switches off every system read and write time-out: a read waits until its
// byte comes and ends only through the operations below.
bool plat_serial_clear_timeouts(PLAT_SERIAL port);

// Starts a one-byte read into *cell, which must stay valid until the read
// completes or is cancelled. DONE: *cell holds the byte. PENDING: the byte
// has not come yet. FAILED: the read failed (POSIX: also when the device
// has hung up, EIO). At most one read is pending per handle.
PLAT_SERIAL_IO plat_serial_read_start(PLAT_SERIAL port, uint8_t* cell);

// Waits up to wait_ms (>= 0) for the pending read. DONE: the byte is in the
// cell and nothing is pending any more. PENDING: the time passed without a
// byte. FAILED: the read failed; nothing is pending any more.
PLAT_SERIAL_IO plat_serial_read_wait(PLAT_SERIAL port, int wait_ms);

// Starts writing the whole block, which must stay valid until the write
// completes or is cancelled. DONE: every byte was handed to the device.
// PENDING: the device has not taken every byte yet. FAILED: the write
// failed. At most one write is pending per handle.
PLAT_SERIAL_IO plat_serial_write_start(PLAT_SERIAL port, const void* data, size_t length);

// Waits up to wait_ms (>= 0) for the pending write; answers as
// plat_serial_read_wait.
PLAT_SERIAL_IO plat_serial_write_wait(PLAT_SERIAL port, int wait_ms);

// Purges as flags say (PLAT_PURGE_*). Aborting a pending read or write
// ends it; the caller then gives it up to wait_ms to settle before the
// cell or the block is reused (Windows needs that; POSIX has nothing in
// flight and answers at once).
bool plat_serial_purge(PLAT_SERIAL port, unsigned flags, int wait_ms);
