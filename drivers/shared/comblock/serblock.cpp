#include "drivers/shared/comblock/serblock.h"

#include <cstdio>
#include <cstring>

#include "drivers/shared/comblock/comblock_internal.h"
#include "platform/clock.h"
#include "platform/comname.h"
#include "platform/syserror.h"

namespace {

const char kUnavailable[] = "Port unavailable or in use";

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Where the settings begin in a descriptor: at the first ':' of a port
// name, but a device path may hold ':' itself (/dev/serial/by-path/...),
// so there only a last ':' followed by a "key=value" text counts.
const char* settings_colon(const char* descriptor) {
  if (descriptor[0] != '/') return std::strchr(descriptor, ':');
  const char* colon = std::strrchr(descriptor, ':');
  if (colon && std::strchr(colon, '=')) return colon;
  return nullptr;
}

}  // namespace

SERBLOCK::SERBLOCK(const char* descriptor, char* error_text, int error_size)
    : open_flag(false), handle(nullptr), settings_fit(true), receive_cell(0) {
  port_path[0] = '\0';
  settings[0] = '\0';
  if (!descriptor) descriptor = "";
  const char* colon = settings_colon(descriptor);
  size_t name_length = colon ? static_cast<size_t>(colon - descriptor) : std::strlen(descriptor);
  if (colon) {
    const char* rest = colon + 1;
    while (is_blank(*rest)) ++rest;
    int n = std::snprintf(settings, sizeof settings, "%s", rest);
    // A cut settings text would mean something else; it is refused whole.
    settings_fit = n >= 0 && static_cast<size_t>(n) < sizeof settings;
  } else {
    std::snprintf(settings, sizeof settings, "%s", SERBLOCK_DEFAULT_SETTINGS);
  }
  char name[SERBLOCK_PATH_SIZE];
  bool fits = name_length < sizeof name;
  if (fits) {
    std::memcpy(name, descriptor, name_length);
    name[name_length] = '\0';
    fits = plat_com_path_for_name(name, port_path, sizeof port_path);
  }
  if (!fits) {
    // A name too long for a port path, or a COM number no device can have.
    if (error_text) {
      comblock_set_error_text(error_text, error_size, kUnavailable);
    } else {
      plat_set_last_error(0);
      system_error_box(kUnavailable);
    }
    return;
  }
  open_flag = open_port(error_text, error_size);
}

bool SERBLOCK::open_port(char* error_text, int error_size) {
  handle = plat_serial_open(port_path);
  if (!handle) {
    if (error_text)
      comblock_set_error_text(error_text, error_size, kUnavailable);
    else
      system_error_box(kUnavailable);
    return false;
  }
  set_dtr(true);
  configure(settings, true);
  set_flow_control(SERBLOCK_FLOW_RTS_HANDSHAKE | SERBLOCK_FLOW_CTS_OUT);
  return true;
}

SERBLOCK::~SERBLOCK() {
  if (handle) {
    set_dtr(false);
    if (!plat_serial_close(handle)) system_error_box("CloseHandle");
    handle = nullptr;
  }
  open_flag = false;
}

bool SERBLOCK::is_open() { return open_flag; }

void SERBLOCK::set_dtr(bool on) {
  if (handle) (void)plat_serial_set_dtr(handle, on);
}

void SERBLOCK::configure(const char* settings_text, bool handshake) {
  if (!handle) return;
  PLAT_SERIAL_LINE line;
  if (!settings_fit || !plat_serial_parse_settings(settings_text, &line)) {
    if (!settings_fit) std::memset(&line, 0, sizeof line);
    system_error_box("BuildCommDCB: %s", settings_text);
  }
  PLAT_SERIAL_STATE state;
  std::memset(&state, 0, sizeof state);
  if (!plat_serial_get_state(handle, &state)) system_error_box("GetCommState");
  // Only what the text gave replaces the port's line settings, so that a
  // rejected text or one that names only the speed leaves a working line.
  if (line.baud) state.baud = line.baud;
  if (line.data_bits) state.data_bits = line.data_bits;
  if (line.parity) state.parity = line.parity;
  if (line.stop_bits) state.stop_bits = line.stop_bits;
  state.binary = true;
  state.out_cts_flow = handshake;
  state.out_dsr_flow = false;
  state.dtr_control = PLAT_DTR_ENABLE;
  state.dsr_sensitivity = false;
  state.out_x = false;
  state.in_x = false;
  state.error_char = false;
  state.null_strip = false;
  state.rts_control = handshake ? PLAT_RTS_HANDSHAKE : PLAT_RTS_ENABLE;
  state.abort_on_error = false;
  if (handshake) {
    uint32_t queue = 0;
    if (!plat_serial_receive_queue(handle, &queue)) {
      system_error_box("GetCommProperties");
    } else {
      state.xon_limit = state.xoff_limit = static_cast<uint16_t>(queue / 4);
    }
  }
  if (!plat_serial_set_state(handle, &state)) system_error_box("SetCommState");
  if (!plat_serial_clear_timeouts(handle)) system_error_box("SetCommTimeouts");
}

void SERBLOCK::set_flow_control(int mask) {
  if (!handle) return;
  PLAT_SERIAL_STATE state;
  std::memset(&state, 0, sizeof state);
  (void)plat_serial_get_state(handle, &state);
  state.rts_control = (mask & SERBLOCK_FLOW_RTS_HANDSHAKE) ? PLAT_RTS_HANDSHAKE : PLAT_RTS_ENABLE;
  state.dtr_control = (mask & SERBLOCK_FLOW_DTR_HANDSHAKE) ? PLAT_DTR_HANDSHAKE : PLAT_DTR_ENABLE;
  uint32_t queue = 0;
  if (plat_serial_receive_queue(handle, &queue)) state.xon_limit = state.xoff_limit = static_cast<uint16_t>(queue / 4);
  state.out_cts_flow = (mask & SERBLOCK_FLOW_CTS_OUT) != 0;
  state.out_dsr_flow = (mask & SERBLOCK_FLOW_DSR_OUT) != 0;
  (void)plat_serial_set_state(handle, &state);
}

int SERBLOCK::transmit(const void* data, int length, int timeout_ms) {
  if (!handle || !data) return 0;
  if (length == -1) length = static_cast<int>(std::strlen(static_cast<const char*>(data)));
  if (length < 0) return 0;
  bool sent = false;
  bool pending = false;
  switch (plat_serial_write_start(handle, data, static_cast<size_t>(length))) {
    case PLAT_SERIAL_DONE:
      sent = true;
      break;
    case PLAT_SERIAL_PENDING:
      pending = true;
      break;
    case PLAT_SERIAL_FAILED:
      system_error_box("WriteFile");
      break;
  }
  if (pending) {
    // A negative time-out waits as long as it takes, in bounded steps.
    PLAT_SERIAL_IO r;
    do {
      r = plat_serial_write_wait(handle, timeout_ms < 0 ? 1000 : timeout_ms);
    } while (r == PLAT_SERIAL_PENDING && timeout_ms < 0);
    sent = r == PLAT_SERIAL_DONE;
  }
  if (!sent) (void)plat_serial_purge(handle, PLAT_PURGE_TXABORT, SERBLOCK_PURGE_GRACE_MS);
  return sent ? 1 : 0;
}

uint8_t* SERBLOCK::read(int max_count, int terminator, int timeout_ms, int dropout_msec, COMBLOCK_POLL poll,
                        int* count_out, int* result_out) {
  const uint32_t start = plat_tick_ms();
  uint32_t last = start;
  int n = 0;
  int result = RX_ERROR;
  bool due = true;
  bool pending = false;
  if (count_out) *count_out = 0;
  if (!handle) {
    if (result_out) *result_out = RX_ERROR;
    return receive_area;
  }
  for (;;) {
    uint32_t now = plat_tick_ms();
    result = comblock_read_limit(now, start, last, n, timeout_ms, dropout_msec);
    if (result) break;
    bool ready = false;
    if (due) {
      due = false;
      PLAT_SERIAL_IO r = plat_serial_read_start(handle, &receive_cell);
      if (r == PLAT_SERIAL_FAILED) {
        system_error_box("ReadFile");
        result = RX_ERROR;
        break;
      }
      ready = r == PLAT_SERIAL_DONE;
      pending = r == PLAT_SERIAL_PENDING;
    }
    if (pending) {
      if (poll && poll() == 0) {
        result = RX_CANCELLED;
        break;
      }
      PLAT_SERIAL_IO r =
          plat_serial_read_wait(handle, comblock_wait_ms(now, start, last, n, timeout_ms, dropout_msec));
      if (r == PLAT_SERIAL_PENDING) {
        if (n > 0) {
          result = RX_DROPOUT;
          break;
        }
        continue;
      }
      pending = false;
      if (r == PLAT_SERIAL_FAILED) {
        system_error_box("GetOverlappedResult");
        result = RX_ERROR;
        break;
      }
      ready = true;
    }
    if (ready) {
      last = plat_tick_ms();
      result = comblock_take_byte(receive_area, &n, receive_cell, terminator, max_count);
      if (count_out) *count_out = n;
      if (result) break;
      due = true;
    }
  }
  if (pending) (void)plat_serial_purge(handle, PLAT_PURGE_RXABORT, SERBLOCK_PURGE_GRACE_MS);
  if (result_out) *result_out = result;
  return receive_area;
}
