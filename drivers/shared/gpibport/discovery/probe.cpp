// Probing a chosen interface for a Prologix adapter: controller mode, a
// drain of whatever the adapter still sends, then its version text.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "drivers/shared/comblock/comblock.h"
#include "drivers/shared/gpibport/discovery/discovery.h"
#include "drivers/shared/gpibport/gpibport.h"
#include "platform/clock.h"
#include "support/text.h"

namespace {

enum {
  PROBE_TEXT_SIZE = 512,
  PROBE_SETTLE_MS = 100,
  PROBE_REPLY_TIMEOUT_MS = 500,
  PROBE_WRITE_TIMEOUT_MS = 500,
  REPLY_DROPOUT_MS = 50,
  REPLY_MAX = GPIBPORT_WORK_SIZE - 1,
  FLUSH_FLOOD_MS = 2048,
  FLUSH_READ_TIMEOUT_MS = 200,
  FLUSH_NUDGE_TIMEOUT_MS = 250,
  SEND_BUFFER_SIZE = 4096,
};

char g_serial_failure[PROBE_TEXT_SIZE];
char g_lan_failure[PROBE_TEXT_SIZE];
char g_send_buffer[SEND_BUFFER_SIZE];

void set_text(const char** text_out, const char* text) {
  if (text_out) *text_out = text;
}

// "++" then "mode 1" makes the adapter the bus controller; whatever it was
// still sending is drained before the version query.
char* query_version(GPIBPORT* port, COMBLOCK* stream) {
  port->send_to_stream(stream, "mode 1\r\n");
  plat_sleep_ms(PROBE_SETTLE_MS);
  port->flush_port(stream);
  port->send_to_stream(stream, "++ver\r\n");
  return port->read_adapter_reply(stream, PROBE_REPLY_TIMEOUT_MS, '\n');
}

// The first step of every probe: the stream opened and a first "++" written.
// Answers the stream, or null once the failure text is set and the stream
// is closed.
COMBLOCK* start_probe(GPIBPORT* port, COMBLOCK* stream, const char* open_failure, const char** text_out) {
  if (!stream || !stream->is_open()) {
    delete stream;
    set_text(text_out, open_failure);
    return nullptr;
  }
  if (!port->send_to_stream(stream, "++")) {
    delete stream;
    set_text(text_out, "(No device found)");
    return nullptr;
  }
  return stream;
}

// A probe's version answer, handed back without its trailing white space.
bool probe_answered(char* reply, const char** text_out) {
  if (text_out) {
    trim_trailing_space(reply);
    *text_out = reply;
  }
  return true;
}

}  // namespace

void trim_trailing_space(char* text) {
  if (!text) return;
  size_t n = std::strlen(text);
  size_t end = n;
  while (end > 0 && text_is_space(text[end - 1])) --end;
  if (end > 0) text[end] = '\0';
}

bool GPIBPORT::send_to_stream(COMBLOCK* stream, const char* format, ...) {
  if (!stream) return false;
  std::memset(g_send_buffer, 0, sizeof g_send_buffer);
  va_list args;
  va_start(args, format);
  std::vsnprintf(g_send_buffer, sizeof g_send_buffer, format, args);
  va_end(args);
  return stream->transmit(g_send_buffer, static_cast<int>(std::strlen(g_send_buffer)), PROBE_WRITE_TIMEOUT_MS) != 0;
}

char* GPIBPORT::read_adapter_reply(COMBLOCK* stream, int timeout_ms, int end_char) {
  if (!stream || !work_buffer) return nullptr;
  int count = 0;
  int result = RX_ERROR;
  uint8_t* data = stream->read(REPLY_MAX, end_char, timeout_ms, REPLY_DROPOUT_MS, nullptr, &count, &result);
  if (result == RX_ERROR || result == RX_CLOSED || result == RX_CANCELLED || !data) return nullptr;
  if (count < 0) count = 0;
  if (count > REPLY_MAX) count = REPLY_MAX;
  std::memcpy(work_buffer, data, static_cast<size_t>(count));
  work_buffer[count] = '\0';
  return work_buffer;
}

int GPIBPORT::flush_port(COMBLOCK* stream) {
  if (!stream) return 0;
  int total = 0;
  uint32_t start = plat_tick_ms();
  bool flooded = false;
  for (;;) {
    if (static_cast<int32_t>(plat_tick_ms() - start) >= FLUSH_FLOOD_MS) {
      if (flooded) return total;
      // An adapter left in automatic-read mode keeps talking; one blank
      // addresses it again and usually stops the stream.
      stream->transmit(" ", 1, FLUSH_NUDGE_TIMEOUT_MS);
      start = plat_tick_ms();
      flooded = true;
      std::printf("Flood detected in flush_port()\n");
      std::fflush(stdout);
    }
    int count = 0;
    int result = RX_ERROR;
    stream->read(-1, -1, FLUSH_READ_TIMEOUT_MS, REPLY_DROPOUT_MS, nullptr, &count, &result);
    if (count > 0) total += count;
    if (result == RX_ERROR || result == RX_CLOSED) return 0;
    if (result == RX_TIMEOUT) return total;
  }
}

bool GPIBPORT::probe_prologix_serial(const char* descriptor, const char** text_out) {
  std::memset(g_serial_failure, 0, sizeof g_serial_failure);
  COMBLOCK* stream = start_probe(this, open_serial_probe_stream(descriptor, g_serial_failure), g_serial_failure,
                                 text_out);
  if (!stream) return false;
  char* reply = query_version(this, stream);
  if (!reply) {
    delete stream;
    set_text(text_out, "(Failed)");
    return false;
  }
  if (!*reply) {
    // The CR LF ends any half-received line, so that the adapter sees
    // "++ver" at the start of a fresh one.
    send_to_stream(stream, "\r\n++");
    plat_sleep_ms(PROBE_SETTLE_MS);
    flush_port(stream);
    send_to_stream(stream, "ver\r\n");
    reply = read_adapter_reply(stream, PROBE_REPLY_TIMEOUT_MS, '\n');
  }
  delete stream;
  if (!reply || !*reply) {
    set_text(text_out, "(No response from device)");
    return false;
  }
  return probe_answered(reply, text_out);
}

bool GPIBPORT::probe_prologix_lan(const char* descriptor, const char** text_out) {
  std::memset(g_lan_failure, 0, sizeof g_lan_failure);
  COMBLOCK* stream = start_probe(this, open_lan_probe_stream(descriptor, PROLOGIX_TCP_PORT, g_lan_failure),
                                 g_lan_failure, text_out);
  if (!stream) return false;
  char* reply = query_version(this, stream);
  delete stream;
  if (!reply) {
    set_text(text_out, "(No Prologix adapter found)");
    return false;
  }
  if (!*reply) {
    set_text(text_out, "(No response from device)");
    return false;
  }
  return probe_answered(reply, text_out);
}

bool GPIBPORT::describe_ni_adapter(const char* descriptor, const char** text_out) {
  if (!text_out) return true;
  if (!work_buffer) {
    *text_out = "";
    return true;
  }
  std::memset(work_buffer, 0, GPIBPORT_WORK_SIZE);
  std::snprintf(work_buffer, GPIBPORT_WORK_SIZE, "National Instruments adapter (%s)", descriptor ? descriptor : "");
  *text_out = work_buffer;
  return true;
}
