#include "driver/acquisition.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "driver/context.h"
#include "driver/host_binding.h"
#include "drivers/shared/gpibport/gpibport.h"
#include "platform/clock.h"
#include "support/text.h"

namespace {

enum {
  REPLY_BUFFER_SIZE = 1024,
  // A reply that would make the gathered text this long is dropped.
  REPLY_LIMIT = 1023,
  HOOK_TEXT_SIZE = 4096,
  OPEN_TIMEOUT_MS = 1500,
  READ_LENGTH = 4096,
  POLL_PAUSE_MS = 10,
};

// "%lf" leaves the reading alone when the reply holds no number, so this
// value marks a reply that did not convert.
const double INVALID_READING = -2147483647.0;

const char* const TRIGGER = "INIT;*WAI;FETCH?";

// The GPIB address in the Address text: optional blanks and a sign, then
// its leading digits; 0 when there are none. Saturates instead of
// overflowing on absurdly long digit runs.
int decimal_value(const char* text) {
  while (text_is_space(*text)) ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = (*text++ == '-');
  long long value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    if (value <= INT_MAX) value = value * 10 + (*text - '0');
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

bool abort_requested(int acq) { return g_host.OV_thread_command(acq) == OV_CMD_ABORT; }

// Every command is one whole line; a write time-out is no failure.
void send_command(GPIBPORT* port, const char* command) { port->send(command, -1, false, true); }

void end_early_locked(int acq) {
  g_host.OV_set_thread_state(acq, OV_STATE_ENDED_EARLY);
  g_host.OV_unlock(acq);
}

// Set-up from the open connection to the first trigger. Answers false when
// an abort arrived; the lock is still held then.
bool configure_counter(GPIBPORT* port, int acq) {
  port->set_timeout_ms(OPEN_TIMEOUT_MS);
  if (abort_requested(acq)) return false;
  port->clear();
  if (abort_requested(acq)) return false;
  send_command(port, "INIT:CONT OFF;*WAI");
  if (abort_requested(acq)) return false;
  send_command(port, TRIGGER);
  if (abort_requested(acq)) return false;
  port->set_auto_read(1);
  return true;
}

// Returns the counter to continuous measurements under local control and
// closes the acquisition normally. Lock held on entry, released on return.
void close_normally(GPIBPORT* port, int acq) {
  // The reply to the trigger still in flight is of no use any more.
  port->receive(-1, false, false, nullptr);
  port->flush_receive_buffers();
  send_command(port, "INIT:CONT ON;*WAI");
  port->set_auto_read(0);
  port->close(true);
  g_host.OV_finish_acquisition(acq, OV_FINISH_NORMAL);
  g_host.OV_unlock(acq);
}

// The read loop, entered with the lock held. Every way out leaves the
// lock released.
void read_loop(ACQ_CONTEXT* context, GPIBPORT* port, int acq) {
  const PARAMSET* params = context->params;
  const bool query_id = params->query_id.value != 0;
  const bool time_interval = params->data_type.value == 0;

  char reply[REPLY_BUFFER_SIZE];
  size_t length = 0;
  reply[0] = '\0';
  bool first_reply = true;
  // An over-long reply is dropped whole: its later pieces up to the line
  // end must not pass for a reply of their own.
  bool dropping = false;

  for (;;) {
    if (g_host.OV_timing_acquisition_done(acq)) break;
    int command = g_host.OV_thread_command(acq);
    if (command == OV_CMD_STOP) break;
    if (command == OV_CMD_ABORT) {
      end_early_locked(acq);
      return;
    }

    g_host.OV_unlock(acq);
    plat_sleep_ms(POLL_PAUSE_MS);
    int status = 1;
    const char* piece = port->receive(-1, false, false, &status);
    if (abort_requested(acq)) {
      g_host.OV_set_thread_state(acq, OV_STATE_ENDED_EARLY);
      return;
    }
    g_host.OV_lock(acq);

    if (!piece || !*piece) continue;
    size_t piece_length = strlen(piece);
    if (dropping || length + piece_length >= REPLY_LIMIT) {
      length = 0;
      reply[0] = '\0';
      dropping = status != RX_TERMINATED;
      if (dropping) continue;
      // The dropped reply answered the measurement in flight; without a new
      // trigger the counter would sit idle and the acquisition go silent.
      if (first_reply) {
        send_command(port, query_id ? "*IDN?" : TRIGGER);
        first_reply = false;
      } else {
        send_command(port, TRIGGER);
      }
      continue;
    }
    memcpy(reply + length, piece, piece_length + 1);
    length += piece_length;
    if (status != RX_TERMINATED) continue;

    const char* text = reply;
    while (text_is_space(*text)) ++text;

    if (first_reply) {
      // The first reply may stem from a measurement begun before the
      // counter was configured, so it is never used.
      send_command(port, query_id ? "*IDN?" : TRIGGER);
      first_reply = false;
      length = 0;
      reply[0] = '\0';
      continue;
    }
    if (!*text) {
      length = 0;
      reply[0] = '\0';
      continue;
    }

    // Keep the counter measuring while this reply is handled.
    send_command(port, TRIGGER);

    if (text_starts_with_nocase(text, "PICOTEST") || text_starts_with_nocase(text, "ARRAY")) {
      context->set_instrument_id(text);
    } else {
      double reading = INVALID_READING;
      sscanf(text, "%lf", &reading);
      // "inf" and "nan" texts and overflowing exponents convert as well, but
      // no counter measures those.
      if (reading == INVALID_READING || !std::isfinite(reading)) {
        if (time_interval) {
          g_host.OV_failure_printf(
              "Error: Invalid TI value \"%s\" (ensure Picotest/Array U6200A series is in TI mode)", text);
        } else {
          g_host.OV_failure_printf(
              "Error: Invalid frequency value \"%s\" (ensure Picotest/Array U6200A series is in FREQ mode)", text);
        }
        end_early_locked(acq);
        return;
      }
      if (g_host.OV_acquisition_gate(acq)) {
        if (time_interval) {
          g_host.OV_process_acquired_phase_diff_sample(acq, 0, reading);
        } else {
          g_host.OV_process_acquired_freq_sample(acq, 0, reading);
        }
      }
    }
    length = 0;
    reply[0] = '\0';
  }
  close_normally(port, acq);
}

// Everything after the port exists; the caller destroys the port.
void run(ACQ_CONTEXT* context, GPIBPORT* port, int acq) {
  const PARAMSET* params = context->params;
  port->owner = context;
  g_host.OV_status_printf("Establishing connection . . .");

  const char* address_text = params->address.value.text;
  if (params->interface_desc.value.text[0] == '.') {
    port->select_interface(address_text, KIND_TCP_INSTRUMENT, nullptr);
  } else {
    port->select_interface(params->interface_desc.value.text, 0, nullptr);
  }
  if (!port->open(decimal_value(address_text), acquisition_failure_hook, false, OPEN_TIMEOUT_MS, -1, false,
                  READ_LENGTH, false)) {
    end_early_locked(acq);
    return;
  }
  if (!configure_counter(port, acq)) {
    end_early_locked(acq);
    return;
  }
  read_loop(context, port, acq);
}

}  // namespace

uint32_t acquisition_thread(void* arg) {
  ACQ_CONTEXT* context = static_cast<ACQ_CONTEXT*>(arg);
  const int acq = context->acquisition;
  g_host.OV_set_thread_state(acq, OV_STATE_STARTED);
  g_host.OV_lock(acq);
  if (!g_host.OV_alloc_timing_records(acq)) {
    g_host.OV_unlock(acq);
    g_host.OV_set_thread_state(acq, OV_STATE_ENDED_EARLY);
    return 1;
  }
  // The port carries the whole interface list (a quarter of a megabyte), so
  // it lives on the heap: the thread works with whatever stack the host
  // gave it.
  GPIBPORT* port = new (std::nothrow) GPIBPORT;
  if (!port || !port->valid() || !context->params) {
    g_host.OV_failure_printf("Error: Out of memory");
    g_host.OV_unlock(acq);
    g_host.OV_set_thread_state(acq, OV_STATE_ENDED_EARLY);
    delete port;
    return 1;
  }
  run(context, port, acq);
  delete port;
  return 1;
}

int acquisition_failure_hook(GPIBPORT* port, const char* text, int ibsta, int iberr, long ibcntl) {
  ACQ_CONTEXT* context = port ? static_cast<ACQ_CONTEXT*>(port->owner) : nullptr;
  char copy[HOOK_TEXT_SIZE];
  memset(copy, 0, sizeof copy);
  if (text) strncpy(copy, text, sizeof copy - 1);
  // The board-lookup failure is shown as the library wrote it; every other
  // text goes to the host's one-line failure display.
  if (!strstr(copy, "ibfind")) {
    for (char* c = copy; *c; ++c) {
      if (static_cast<signed char>(*c) < 32) *c = ' ';
    }
  }
  g_host.OV_failure_printf("Acquisition failed: %s", copy);
  if (context) g_host.OV_set_thread_command(context->acquisition, OV_CMD_ABORT);
  return 0;
}
