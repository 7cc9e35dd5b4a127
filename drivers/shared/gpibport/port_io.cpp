// Input and output on an open port: NI library calls, or lines on the byte
// stream with the Prologix "++" requests that the adapter needs.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "drivers/shared/gpibport/gpibport.h"
#include "drivers/shared/gpibport/ni488.h"
#include "platform/clock.h"
#include "support/text.h"

namespace {

// Half of the write delay goes before a stream write and half after. No
// delay is the rule; a zero wait would still give the processor away on
// every command, and under load that costs readings.
void half_write_delay(int write_delay_ms) {
  if (write_delay_ms / 2 > 0) plat_sleep_ms(static_cast<uint32_t>(write_delay_ms / 2));
}

enum {
  FLOOD_WINDOW_MS = 2048,
  FLUSH_SLICE_MS = 250,
  STREAM_WRITE_TIMEOUT_MS = 250,
  SENDF_SIZE = 4096,
  ESCAPE_CHUNK = 4096,
  // The command, its CR LF and the terminating zero fill the work buffer.
  MAX_COMMAND_LENGTH = GPIBPORT_WORK_SIZE - 2,
};

// The adapter acts on CR, LF, ESC and '+'; escaped, they reach the
// instrument as data.
bool needs_escape(uint8_t c) { return c == 10 || c == 13 || c == 27 || c == '+'; }

// One NI write for send and send_bytes: to the board when there is no device
// or the caller asks for it. A time-out counts as sent when the caller
// tolerates it; a system error (EDVR) counts as sent, as it does for reads.
int ni_write(GPIBPORT* port, const void* data, int length, bool to_board, bool tolerate_abort) {
  int target = (port->ni_device == -1 || to_board) ? port->ni_board : port->ni_device;
  int status = ni488::ibwrt(target, data, length);
  if (status & ni488::ERR) {
    bool sent = (ni488::iberr == ni488::EABO && tolerate_abort) || ni488::iberr == ni488::EDVR;
    if (!sent) {
      port->fatal_error("ibwrt Error\n");
      return 0;
    }
  }
  return 1;
}

}  // namespace

int GPIBPORT::flush_receive_buffers() {
  if (is_ni || !stream) return 0;
  int total = 0;
  uint32_t window_start = plat_tick_ms();
  bool nudged = false;
  for (;;) {
    if (static_cast<int32_t>(plat_tick_ms() - window_start) >= FLOOD_WINDOW_MS) {
      if (nudged) break;
      // A space interrupts an instrument that keeps sending; a second
      // window of input means it will not stop, and the drain gives up.
      stream->write(" ", 1, FLUSH_SLICE_MS);
      window_start = plat_tick_ms();
      nudged = true;
      std::printf("Flood detected in flush_receive_buffers()\n");
      std::fflush(stdout);
    }
    int count = 0;
    int result = RX_ERROR;
    stream->read(-1, -1, FLUSH_SLICE_MS, FLUSH_SLICE_MS, nullptr, &count, &result);
    total += count;
    if (result == RX_ERROR || result == RX_CLOSED || (result == RX_TIMEOUT && count == 0)) break;
  }
  return total;
}

int GPIBPORT::set_timeout_ms(int ms) {
  int previous = dropout_ms;
  dropout_ms = ms;
  // The adapter's own read time-out tops out at 3000 ms.
  if (is_prologix && stream) sendf("++read_tmo_ms %d", ms >= 3000 ? 3000 : ms);
  return previous;
}

int GPIBPORT::set_auto_read(int mode) {
  bool capable = is_prologix && (extended_commands || is_network);
  if (!capable || !stream) return 0;
  if (mode == 0 && auto_read) {
    send("++auto 0");
    if (nudge) send(" ");
    auto_read = 0;
  } else if (mode == 1 && !auto_read) {
    send("++auto 1");
    auto_read = 1;
  }
  return auto_read;
}

COMBLOCK_POLL GPIBPORT::set_read_callback(COMBLOCK_POLL poll) {
  COMBLOCK_POLL previous = read_callback;
  read_callback = poll;
  return previous;
}

int GPIBPORT::set_terminator(int eos_char, bool assert_eoi, bool board_too) {
  int previous = terminator;
  terminator = eos_char;
  if (is_ni) {
    ni488::ibconfig(ni_board, ni488::IbcEndBitIsNormal, 1);
    int target;
    if (ni_device != -1) {
      target = ni_device;
    } else if (board_too) {
      target = ni_board;
    } else {
      return previous;
    }
    ni488::ibconfig(target, ni488::IbcEOT, assert_eoi);
    ni488::ibconfig(target, ni488::IbcEOSwrt, 0);
    if (terminator == -1) {
      ni488::ibconfig(target, ni488::IbcEOSchar, 0);
      ni488::ibconfig(target, ni488::IbcEOSrd, 0);
    } else {
      ni488::ibconfig(target, ni488::IbcEOSchar, terminator);
      ni488::ibconfig(target, ni488::IbcEOSrd, 1);
    }
  } else if (is_prologix && (extended_commands || is_network) && stream) {
    send(assert_eoi ? "++eoi 1" : "++eoi 0");
  }
  return previous;
}

int GPIBPORT::send(const char* text, int length, bool to_board, bool tolerate_abort) {
  if (!work_buffer) return 0;
  if (!text) text = "";
  if (length == -1) length = static_cast<int>(std::strlen(text));
  if (length < 0 || length > MAX_COMMAND_LENGTH) {
    fatal_error("Command of %d bytes does not fit the %d-byte buffer\n", length, MAX_COMMAND_LENGTH);
    return 0;
  }
  // The text may already lie in the work buffer (a reply sent back).
  std::memmove(work_buffer, text, static_cast<size_t>(length));
  work_buffer[length] = '\r';
  work_buffer[length + 1] = '\n';
  work_buffer[length + 2] = '\0';
  length += 2;

  if (!is_ni) {
    if (!stream) return 0;
    half_write_delay(write_delay_ms);
    // A failing stream has shown its own error box; the line counts as sent.
    stream->write(work_buffer, length, STREAM_WRITE_TIMEOUT_MS);
    half_write_delay(write_delay_ms);
    return 1;
  }
  return ni_write(this, work_buffer, length, to_board, tolerate_abort);
}

int GPIBPORT::send_bytes(const void* data, int length, bool to_board, bool tolerate_abort) {
  if (length < 0 || (length > 0 && !data)) return 0;
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  if (!is_ni) {
    if (!stream) return 0;
    half_write_delay(write_delay_ms);
    if (!is_prologix) {
      stream->write(bytes, length, STREAM_WRITE_TIMEOUT_MS);
    } else {
      // Escaped in pieces on the stack: no allocation, and data that lies
      // in the work buffer is never overwritten while it is read.
      uint8_t chunk[ESCAPE_CHUNK];
      int used = 0;
      for (int i = 0; i < length; ++i) {
        if (used + 2 > ESCAPE_CHUNK) {
          stream->write(chunk, used, STREAM_WRITE_TIMEOUT_MS);
          used = 0;
        }
        if (needs_escape(bytes[i])) chunk[used++] = 27;
        chunk[used++] = bytes[i];
      }
      if (used > 0) stream->write(chunk, used, STREAM_WRITE_TIMEOUT_MS);
    }
    half_write_delay(write_delay_ms);
    return 1;
  }
  return ni_write(this, bytes, length, to_board, tolerate_abort);
}

int GPIBPORT::send_trimmed(const char* text) {
  if (!text) text = "";
  // Trailing white space is left out by length rather than cut from the
  // caller's text, which may be a constant. A text of white space only is
  // sent as it is.
  int length = static_cast<int>(std::strlen(text));
  int trimmed = length;
  while (trimmed > 0 && text_is_space(static_cast<unsigned char>(text[trimmed - 1]))) --trimmed;
  return send(text, trimmed > 0 ? trimmed : length, false, true);
}

int GPIBPORT::sendf(const char* format, ...) {
  char line[SENDF_SIZE];
  line[0] = '\0';
  if (format) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
  }
  return send_trimmed(line);
}

char* GPIBPORT::receive(int max_count, bool timeout_is_error, bool from_interface, int* status_out) {
  if (!work_buffer) return nullptr;
  work_buffer[0] = '\0';
  int count = 0;
  if (!is_ni) {
    if (is_prologix && !auto_read && !from_interface && stream) {
      if (terminator != -1) {
        sendf("++read %d", terminator);
      } else {
        send("++read eoi");
      }
    }
    int read_terminator = from_interface ? 10 : terminator;
    int result = RX_ERROR;
    uint8_t* data = nullptr;
    if (stream) {
      data = stream->read(max_count, read_terminator, read_timeout_ms, dropout_ms, read_callback, &count, &result);
    }
    if (status_out) *status_out = result;
    if (result == RX_ERROR || result == RX_CLOSED || (result == RX_TIMEOUT && timeout_is_error)) {
      fatal_error("ibrd Error: 0x%X\n", result);
      return nullptr;
    }
    if (!data || count < 0) count = 0;
    if (count > GPIBPORT_WORK_SIZE) count = GPIBPORT_WORK_SIZE;
    std::memcpy(work_buffer, data, static_cast<size_t>(count));
    work_buffer[count] = '\0';
    return work_buffer;
  }

  int n = max_count == -1 ? ni_read_length : max_count;
  if (n < 0) n = 0;
  if (n > GPIBPORT_WORK_SIZE) n = GPIBPORT_WORK_SIZE;
  int target = (ni_device == -1 || from_interface) ? ni_board : ni_device;
  ni488::ibconfig(target, ni488::IbcEOSrd, terminator != -1);
  int status = ni488::ibrd(target, work_buffer, n);
  // Without the library the count is a system error code, and the buffer
  // holds nothing that was read.
  count = ni488::last_call_reached_library() ? static_cast<int>(ni488::ibcntl) : 0;
  if (count < 0 || count > n) count = count < 0 ? 0 : n;
  if (!(status & ni488::ERR)) {
    if (status_out) *status_out = RX_TERMINATED;
    work_buffer[count] = '\0';
    return work_buffer;
  }
  if (ni488::iberr == ni488::EABO && status_out) *status_out = RX_TIMEOUT;
  if (ni488::iberr == ni488::EDVR || (ni488::iberr == ni488::EABO && !timeout_is_error)) {
    work_buffer[count] = '\0';
    return work_buffer;
  }
  if (status_out) *status_out = RX_ERROR;
  fatal_error("ibrd Error\n");
  return nullptr;
}

uint8_t* GPIBPORT::receive_bytes(int max_count, bool timeout_is_error, bool from_interface, int* count_out) {
  if (!work_buffer) return nullptr;
  uint8_t* out = reinterpret_cast<uint8_t*>(work_buffer);
  int count = 0;
  if (!is_ni) {
    if (is_prologix && !auto_read && !from_interface && stream) send("++read eoi");
    int result = RX_ERROR;
    uint8_t* data = nullptr;
    if (stream) data = stream->read(max_count, -1, read_timeout_ms, dropout_ms, read_callback, &count, &result);
    if (!data || count < 0) count = 0;
    if (count > GPIBPORT_WORK_SIZE) count = GPIBPORT_WORK_SIZE;
    if (count_out) *count_out = count;
    if (result == RX_ERROR || result == RX_CLOSED || (result == RX_TIMEOUT && timeout_is_error)) {
      fatal_error("ibrd Error 0x%X, cnt=%d\n", result, count);
      return nullptr;
    }
    std::memcpy(out, data, static_cast<size_t>(count));
    return out;
  }

  int n = max_count == -1 ? ni_read_length : max_count;
  if (n < 0) n = 0;
  if (n > GPIBPORT_WORK_SIZE) n = GPIBPORT_WORK_SIZE;
  int target = (ni_device == -1 || from_interface) ? ni_board : ni_device;
  ni488::ibconfig(target, ni488::IbcEOSrd, 0);
  int status = ni488::ibrd(target, out, n);
  // Without the library the count is a system error code, and the buffer
  // holds nothing that was read.
  count = ni488::last_call_reached_library() ? static_cast<int>(ni488::ibcntl) : 0;
  if (count < 0 || count > n) count = count < 0 ? 0 : n;
  if (count_out) *count_out = count;
  if (!(status & ni488::ERR)) return out;
  if (ni488::iberr == ni488::EDVR || (ni488::iberr == ni488::EABO && !timeout_is_error)) return out;
  fatal_error("ibrd Error\n");
  return nullptr;
}

int GPIBPORT::wait_status(bool board) {
  if (!is_ni) return 0;
  int target = (ni_device == -1 || board) ? ni_board : ni_device;
  return ni488::ibwait(target, 0);
}

void GPIBPORT::clear() {
  if (is_ni) {
    ni488::ibclr(ni_device);
  } else if (is_prologix && stream) {
    sendf("++clr");
  }
}

int GPIBPORT::serial_poll() {
  if (is_ni) {
    char byte = 0;
    ni488::ibrsp(ni_device, &byte);
    return static_cast<uint8_t>(byte);
  }
  if (!is_prologix || !stream) return 0;
  sendf("++spoll %d", address);
  char* reply = receive(-1, true, false, nullptr);
  if (!reply) return 0;
  return static_cast<int>(std::strtol(reply, nullptr, 10)) & 0xFF;
}

char* GPIBPORT::query(const char* text, bool from_interface) {
  if (!send(text, -1, false, true)) return nullptr;
  return receive(-1, true, from_interface, nullptr);
}
