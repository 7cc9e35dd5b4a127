// The side of the acquisition context that serves the setup dialog: the
// interface list, the per-tick consistency of a few controls, and the live
// monitor with its thread, ring and display.
#include <cstdio>
#include <cstring>
#include <new>

#include "dialog/monitor_block.h"
#include "dialog/surface.h"
#include "dialog/template.h"
#include "driver/context.h"
#include "driver/host_binding.h"
#include "drivers/shared/gpibport/gpibport.h"
#include "platform/clock.h"
#include "platform/thread.h"
#include "support/text.h"

namespace {

const char kChooseText[] = "Choose an interface from the list above";
const char kMonitorThreadName[] = "GPIB monitor thread";
const char kPoll[] = "INIT;*WAI;FETCH?";

// Both threads report through the host; a host that left a function out
// only loses the message.
#define HOST_PRINTF(fn, ...)                       \
  do {                                             \
    if (g_host.fn) g_host.fn(__VA_ARGS__);         \
  } while (0)

int64_t host_micros() { return g_host_timer ? g_host_timer->microseconds() : plat_micros(); }

const char* param_text(PARAM<TEXT_VALUE>* p) { return (p && p->entry) ? p->entry->str() : ""; }

void set_param_text(ACQ_CONTEXT* context, PARAM<TEXT_VALUE> PARAMSET::*member, const char* text) {
  if (!context->params) return;
  PARAM<TEXT_VALUE>& p = context->params->*member;
  if (p.entry) p.entry->set_str(text);
}

// Monitor threads that outlived the dialog's wait. Their handles are kept,
// not given up, and released here once the threads have ended; only the
// dialog thread touches the list, and only one dialog is open at a time.
enum { ABANDONED_THREADS = 8 };
PLAT_THREAD g_abandoned[ABANDONED_THREADS];

}  // namespace

int reap_abandoned_threads() {
  int held = 0;
  for (PLAT_THREAD& t : g_abandoned) {
    if (t && plat_thread_done(t) && plat_thread_join(t, 0)) t = nullptr;
    held += t != nullptr;
  }
  return held;
}

static void abandon_thread(PLAT_THREAD thread) {
  reap_abandoned_threads();
  for (PLAT_THREAD& t : g_abandoned) {
    if (!t) {
      t = thread;
      return;
    }
  }
  plat_thread_detach(thread);
}

// ---- The shared block ----

MONITOR_BLOCK* monitor_block_create() {
  MONITOR_BLOCK* block = new (std::nothrow) MONITOR_BLOCK;
  if (!block) return nullptr;
  block->instrument_id[0] = 0;
  std::memset(block->ring, 0, sizeof block->ring);
  block->interface_text[0] = 0;
  block->address_text[0] = 0;
  block->port = new (std::nothrow) GPIBPORT;
  if (!block->port) {
    delete block;
    return nullptr;
  }
  block->port->owner = block;
  return block;
}

void monitor_block_retain(MONITOR_BLOCK* block) { block->refs.fetch_add(1, std::memory_order_relaxed); }

void monitor_block_release(MONITOR_BLOCK* block) {
  if (!block) return;
  if (block->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  delete block->port;
  delete block;
}

MONITOR_BLOCK* monitor_block_of(ACQ_CONTEXT* context) {
  return context->port ? static_cast<MONITOR_BLOCK*>(context->port->owner) : nullptr;
}

bool create_dialog_port(ACQ_CONTEXT* context) {
  reap_abandoned_threads();
  MONITOR_BLOCK* block = monitor_block_create();
  if (block && !block->port->valid()) {
    monitor_block_release(block);
    block = nullptr;
  }
  context->port = block ? block->port : nullptr;
  return block != nullptr;
}

void release_dialog_port(ACQ_CONTEXT* context) {
  MONITOR_BLOCK* block = monitor_block_of(context);
  context->port = nullptr;
  monitor_block_release(block);
}

void monitor_queue_line(MONITOR_BLOCK* b, const char* text) {
  int32_t write = b->ring_write.load(std::memory_order_relaxed);
  int32_t next = (write + 1) % MONITOR_RING_SLOTS;
  if (next == b->ring_read.load(std::memory_order_acquire)) return;
  char* slot = b->ring[write];
  std::memset(slot, 0, MONITOR_SLOT_SIZE);
  std::strncpy(slot, text ? text : "", MONITOR_SLOT_SIZE - 1);
  b->ring_write.store(next, std::memory_order_release);
}

char* monitor_dequeue_line(MONITOR_BLOCK* b, char* buffer, int size) {
  int32_t read = b->ring_read.load(std::memory_order_relaxed);
  if (read == b->ring_write.load(std::memory_order_acquire)) return nullptr;
  if (!buffer || size <= 0) return nullptr;
  std::memset(buffer, 0, static_cast<size_t>(size));
  std::strncpy(buffer, b->ring[read], static_cast<size_t>(size - 1));
  b->ring_read.store((read + 1) % MONITOR_RING_SLOTS, std::memory_order_release);
  return buffer;
}

int monitor_failure_hook(GPIBPORT* port, const char* text, int, int, long) {
  MONITOR_BLOCK* b = static_cast<MONITOR_BLOCK*>(port->owner);
  char copy[4096];
  text_copy(copy, sizeof copy, text);
  // Board lookups name the board in the text; anything else is made printable.
  if (!std::strstr(copy, "ibfind")) {
    for (char* p = copy; *p; p++) {
      if (static_cast<signed char>(*p) < 32) *p = ' ';
    }
  }
  if (b) {
    b->monitor_failed.store(1);
    b->monitoring.store(0);
  }
  HOST_PRINTF(OV_failure_printf, "Error: %s", copy);
  return 0;
}

int monitor_dialogue(MONITOR_BLOCK* b) {
  GPIBPORT* port = b->port;
  if (!b->interface_text[0]) {
    b->monitor_failed.store(1);
    HOST_PRINTF(OV_failure_printf, "Invalid address or port selection");
    return 0;
  }
  const char* address = b->address_text;
  int kind = b->interface_text[0] == '.' ? port->select_interface(address, KIND_TCP_INSTRUMENT, nullptr)
                                         : port->select_interface(b->interface_text, 0, nullptr);
  int timeout = kind == KIND_NI_GPIB ? 1500 : 100;
  // Set before the thread starts; the dialogue only needs the value here.
  int gpib_address = b->gpib_address;
  if (!b->stop_requested.load()) b->monitoring.store(1);
  HOST_PRINTF(OV_status_printf, "Looking for Picotest/Array U6200A series . . .");
  if (!port->open(gpib_address, monitor_failure_hook, false, timeout, -1, false, 4096, false)) {
    // The hook has normally said why; the dialog stops the monitor either way.
    b->monitoring.store(0);
    b->monitor_failed.store(1);
    return 0;
  }
  HOST_PRINTF(OV_status_printf, "Monitoring . . .");
  port->set_timeout_ms(timeout);
  port->clear();
  port->send("INIT:CONT OFF;*WAI", -1, false, true);
  port->send(kPoll, -1, false, true);
  port->set_auto_read(1);

  char reply[MONITOR_REPLY_SIZE];
  size_t length = 0;
  reply[0] = 0;
  bool first_reply_due = true;
  while (b->monitoring.load() && !b->stop_requested.load()) {
    plat_sleep_ms(10);
    int status = 1;
    const char* piece = port->receive(-1, false, false, &status);
    if (!piece || !*piece) continue;
    size_t n = std::strlen(piece);
    if (length + n >= MONITOR_REPLY_SIZE - 1) {
      length = 0;
      reply[0] = 0;
      continue;
    }
    std::memcpy(reply + length, piece, n + 1);
    length += n;
    if (status != RX_TERMINATED) continue;
    const char* text = reply;
    while (text_is_space(*text)) text++;
    if (first_reply_due) {
      port->send(b->identify_checked.load() ? "*IDN?" : kPoll, -1, false, true);
      first_reply_due = false;
    } else {
      // The counter measures the next reading while this one is handled.
      port->send(kPoll, -1, false, true);
      if (text_starts_with_nocase(text, "PICOTEST") || text_starts_with_nocase(text, "ARRAY")) {
        // The dialog reads the identification once the flag is up, so it
        // is written once per run and never changed under the reader.
        if (!b->id_received.load(std::memory_order_acquire)) {
          text_copy(b->instrument_id, sizeof b->instrument_id, text);
          // The reply's line end would become part of the Instrument
          // parameter, and a value with a line break spoils the settings file.
          size_t end = std::strlen(b->instrument_id);
          while (end > 0 && text_is_space(b->instrument_id[end - 1])) b->instrument_id[--end] = 0;
          b->id_received.store(1, std::memory_order_release);
        }
      } else {
        monitor_queue_line(b, text);
      }
    }
    length = 0;
    reply[0] = 0;
  }
  port->receive(-1, false, false, nullptr);
  port->flush_receive_buffers();
  port->send("INIT:CONT ON;*WAI", -1, false, true);
  port->set_auto_read(0);
  port->close(true);
  HOST_PRINTF(OV_status_printf, " ");
  return 0;
}

uint32_t monitor_thread(void* arg) {
  MONITOR_BLOCK* b = static_cast<MONITOR_BLOCK*>(arg);
  plat_name_current_thread(kMonitorThreadName);
  int result = monitor_dialogue(b);
  monitor_block_release(b);
  return static_cast<uint32_t>(result);
}

// ---- The context's operations ----

bool ACQ_CONTEXT::choose_interface(int index) {
  disconnect_monitor();
  DLGSURFACE* d = dialog_window;
  if (index == -1) {
    char text[MONITOR_TEXT_SIZE];
    text_copy(text, sizeof text, params ? param_text(&params->interface_desc) : "");
    if (text_starts_with_nocase(text, "COM")) {
      if (char* colon = std::strchr(text, ':')) *colon = 0;
    }
    for (int i = 0; i < interface_count; i++) {
      if (!text_equal_nocase(interfaces[i].descriptor, text)) continue;
      int item = d ? d->find_prefix(IDC_INTERFACE_LIST, interfaces[i].display_text) : -1;
      if (item >= 0) {
        index = i;
        d->set_selection(IDC_INTERFACE_LIST, item);
      }
      break;
    }
  }
  if (index < 0 || index >= interface_count) {
    if (d) {
      d->set_text(IDC_INTERFACE_STATUS, kChooseText);
      d->set_selection(IDC_INTERFACE_LIST, -1);
    }
    return false;
  }

  INTERFACE_ENTRY& entry = interfaces[index];
  const char* probe_text = nullptr;
  char text[1024];
  text[0] = 0;
  bool result = false;
  switch (entry.kind) {
    case IFACE_COM_PORT:
      if (port && d && d->get_check(IDC_PROLOGIX) && port->list_ftdi_ports(entry.port_number)) {
        result = port->probe_prologix_serial(entry.descriptor, &probe_text);
        text_copy(text, sizeof text, probe_text);
      } else {
        text_copy(text, sizeof text, "Standard COM port");
        entry.descriptor[0] = 0;
        result = true;
      }
      break;
    case IFACE_PROLOGIX_LAN:
      if (port) {
        result = port->probe_prologix_lan(entry.descriptor, &probe_text);
        text_copy(text, sizeof text, probe_text);
        if (result) {
          size_t n = std::strlen(text);
          const uint8_t* m = entry.mac_address;
          std::snprintf(text + n, sizeof text - n, " (MAC %.2X-%.2X-%.2X-%.2X-%.2X-%.2X)", m[0], m[1], m[2], m[3],
                        m[4], m[5]);
        }
      }
      break;
    case IFACE_NI_GPIB:
      if (port) {
        result = port->describe_ni_adapter(entry.descriptor, &probe_text);
        text_copy(text, sizeof text, probe_text);
      }
      break;
    default:
      break;
  }
  if (d) d->set_text(IDC_INTERFACE_STATUS, text);
  set_param_text(this, &PARAMSET::interface_desc, result ? entry.descriptor : "");
  return result;
}

void ACQ_CONTEXT::refresh_interfaces() {
  disconnect_monitor();
  DLGSURFACE* d = dialog_window;
  intptr_t cursor = d ? d->show_wait_cursor() : 0;
  if (d) {
    d->reset_items(IDC_INTERFACE_LIST);
    d->set_text(IDC_INTERFACE_STATUS, kChooseText);
    d->repaint(DLG_SELF);
  }
  interface_count = 0;
  int found = port ? port->enumerate_interfaces(false, false) : 0;
  if (found > MAX_INTERFACES) found = MAX_INTERFACES;
  if (port && found > port->interface_count) found = port->interface_count;
  for (int i = 0; i < found; i++) interfaces[interface_count++] = port->interfaces[i];
  if (interface_count == 0) {
    if (d) {
      d->restore_cursor(cursor);
      d->set_text(IDC_INTERFACE_STATUS, "No supported interfaces found!");
      d->repaint(DLG_SELF);
    }
    return;
  }
  if (d) {
    for (int i = 0; i < interface_count; i++) d->add_item(IDC_INTERFACE_LIST, interfaces[i].display_text);
    d->restore_cursor(cursor);
  }
  choose_interface(-1);
}

void ACQ_CONTEXT::update_controls() {
  DLGSURFACE* d = dialog_window;
  MONITOR_BLOCK* b = monitor_block_of(this);
  if (b && b->monitor_failed.load()) {
    stop_monitor();
    b = monitor_block_of(this);
    if (b) b->monitor_failed.store(0);
  }
  if (!d) return;
  if (d->get_selection(IDC_DATA_TYPE) == 1) {
    if (d->is_enabled(IDC_INPUT_FREQ)) {
      d->set_text(IDC_INPUT_FREQ, "");
      d->enable(IDC_INPUT_FREQ, false);
    }
  } else if (!d->is_enabled(IDC_INPUT_FREQ)) {
    const char* stored = (params && params->input_freq.entry) ? params->input_freq.entry->str() : "";
    d->set_text(IDC_INPUT_FREQ, stored);
    d->enable(IDC_INPUT_FREQ, true);
  }
  bool measuring = b && b->monitoring.load() && line_count > 0;
  if (interval_box) d->enable(interval_box, !measuring);
}

void ACQ_CONTEXT::pump_monitor() {
  DLGSURFACE* d = dialog_window;
  if (caret_countdown > 0) {
    if (d && incoming_box) d->scroll_caret(incoming_box);
    caret_countdown--;
  }
  MONITOR_BLOCK* b = monitor_block_of(this);
  if (!b) return;
  if (monitor_thread_handle && d && identify_box) b->identify_checked.store(d->get_check(identify_box) ? 1 : 0);
  if (b->monitoring.load()) assemble_lines();
}

void ACQ_CONTEXT::queue_line(const char* text) {
  if (MONITOR_BLOCK* b = monitor_block_of(this)) monitor_queue_line(b, text);
}

int ACQ_CONTEXT::run_monitor() {
  MONITOR_BLOCK* b = monitor_block_of(this);
  return b ? monitor_dialogue(b) : 0;
}

void ACQ_CONTEXT::reset_monitor() {
  DLGSURFACE* d = dialog_window;
  MONITOR_BLOCK* b = monitor_block_of(this);
  if (b) {
    b->monitor_failed.store(0);
    // The indices belong to the thread while one runs.
    if (!monitor_thread_handle) {
      b->ring_write.store(0);
      b->ring_read.store(0);
    }
  }
  line_buffer[0] = 0;
  caret_countdown = 50;
  line_count = 0;
  incoming_length = 0;
  incoming_lines = 0;
  incoming_text[0] = 0;
  if (d) {
    if (id_label) d->set_text(id_label, "");
    if (incoming_box) {
      d->set_text(incoming_box, "");
      d->repaint(incoming_box);
    }
  }
}

char* ACQ_CONTEXT::dequeue_line(char* buffer, int size) {
  MONITOR_BLOCK* b = monitor_block_of(this);
  return b ? monitor_dequeue_line(b, buffer, size) : nullptr;
}

void ACQ_CONTEXT::append_incoming(const char* text) {
  if (!text) text = "";
  int n = static_cast<int>(std::strlen(text));
  // A line never takes more than the whole box.
  const int longest = INCOMING_TEXT_SIZE - 4;
  if (n > longest) n = longest;
  while (incoming_length + n + 3 >= INCOMING_TEXT_SIZE || incoming_lines >= 10) {
    char* lf = static_cast<char*>(std::memchr(incoming_text, '\n', static_cast<size_t>(incoming_length)));
    if (!lf) {
      incoming_length = 0;
      incoming_lines = 0;
      incoming_text[0] = 0;
      break;
    }
    int cut = static_cast<int>(lf - incoming_text) + 1;
    std::memmove(incoming_text, lf + 1, static_cast<size_t>(incoming_length - cut + 1));
    incoming_length -= cut;
    incoming_lines--;
  }
  if (incoming_length > 0) {
    incoming_text[incoming_length++] = '\r';
    incoming_text[incoming_length++] = '\n';
  }
  std::memcpy(incoming_text + incoming_length, text, static_cast<size_t>(n));
  incoming_length += n;
  incoming_text[incoming_length] = 0;
  incoming_lines++;
  DLGSURFACE* d = dialog_window;
  if (d && incoming_box) {
    d->set_text(incoming_box, incoming_text);
    d->set_caret(incoming_box, incoming_length);
    d->scroll_caret(incoming_box);
  }
}

int ACQ_CONTEXT::show_reading(DLGSURFACE*) {
  DLGSURFACE* d = dialog_window;
  if (!d || !d->left_button_down()) append_incoming(line_buffer);
  MONITOR_BLOCK* b = monitor_block_of(this);
  if (b && b->id_received.load(std::memory_order_acquire)) {
    text_copy(instrument_id, sizeof instrument_id, b->instrument_id);
    id_received.store(1);
  }
  if (id_received.load()) {
    set_param_text(this, &PARAMSET::instrument, instrument_id);
    if (d && id_label) {
      d->set_text(id_label, instrument_id);
      d->enable(id_label, true);
    }
  }
  line_count++;
  if (line_count == 2) {
    first_line_time = host_micros();
  } else if (line_count > 2) {
    double interval = static_cast<double>(host_micros() - first_line_time) / ((line_count - 2) * 1000000.0);
    char text[64];
    std::snprintf(text, sizeof text, "%0.2lf", interval);
    if (d && interval_box) d->set_text(interval_box, text);
  }
  return 1;
}

bool ACQ_CONTEXT::assemble_lines() {
  MONITOR_BLOCK* b = monitor_block_of(this);
  for (;;) {
    plat_sleep_ms(0);
    char piece[MONITOR_SLOT_SIZE];
    char* got = (b && b->monitoring.load()) ? monitor_dequeue_line(b, piece, sizeof piece) : nullptr;
    if (!got || !*got) return false;
    size_t have = std::strlen(line_buffer);
    size_t room = sizeof line_buffer - 1 - have;
    size_t n = std::strlen(got);
    if (n > room) n = room;
    std::memcpy(line_buffer + have, got, n);
    have += n;
    line_buffer[have] = 0;
    // An over-long line is cut and ended here.
    if (have == sizeof line_buffer - 1) line_buffer[have - 1] = '\n';
    char last = have ? line_buffer[have - 1] : 0;
    if (last != '\n' && last != '\r') return false;
    while (have > 0 && text_is_space(line_buffer[have - 1])) line_buffer[--have] = 0;
    if (have == 0 || line_buffer[0] == '#') {
      line_buffer[0] = 0;
      continue;
    }
    show_reading(dialog_window);
    line_buffer[0] = 0;
    return true;
  }
}

void ACQ_CONTEXT::start_monitor() {
  if (monitor_thread_handle) return;
  reap_abandoned_threads();
  reset_monitor();
  DLGSURFACE* d = dialog_window;
  MONITOR_BLOCK* b = monitor_block_of(this);
  if (d && incoming_box) d->enable(incoming_box, true);
  if (d && monitor_button) d->set_text(monitor_button, "Disconnect");
  if (!b) {
    HOST_PRINTF(OV_failure_printf, "Invalid address or port selection");
    stop_monitor();
    return;
  }
  // The thread takes what it needs from the dialog now, while no thread
  // runs, so it never reads a control or the parameters itself.
  b->stop_requested.store(0);
  b->monitoring.store(0);
  b->monitor_failed.store(0);
  b->id_received.store(0);
  text_copy(b->interface_text, sizeof b->interface_text, params ? param_text(&params->interface_desc) : "");
  b->address_text[0] = 0;
  if (d) d->get_text(IDC_ADDRESS, b->address_text, sizeof b->address_text);
  const char* p = b->address_text;
  int value = 0;
  while (*p >= '0' && *p <= '9' && value < 100000000) value = value * 10 + (*p++ - '0');
  b->gpib_address = value;
  gpib_address = value;
  b->identify_checked.store((d && identify_box && d->get_check(identify_box)) ? 1 : 0);
  monitor_block_retain(b);
  monitor_thread_handle = plat_thread_start(monitor_thread, b, 0);
  if (!monitor_thread_handle) {
    monitor_block_release(b);
    b->monitor_failed.store(1);
  }
}

void ACQ_CONTEXT::stop_monitor() {
  MONITOR_BLOCK* b = monitor_block_of(this);
  if (b) {
    b->stop_requested.store(1);
    b->monitoring.store(0);
  }
  DLGSURFACE* d = dialog_window;
  if (d) {
    if (id_label) d->enable(id_label, false);
    if (incoming_box) d->enable(incoming_box, false);
    if (monitor_button) d->set_text(monitor_button, "Monitor");
  }
  if (!monitor_thread_handle) return;
  if (!plat_thread_join(monitor_thread_handle, MONITOR_STOP_WAIT_MS)) {
    // The thread is stuck in a port call. It keeps its own reference to the
    // block and its port; the dialog goes on with a fresh port, so nothing
    // the thread still uses is touched or deleted before it ends.
    abandon_thread(monitor_thread_handle);
    release_dialog_port(this);
    create_dialog_port(this);
  }
  monitor_thread_handle = nullptr;
}

void ACQ_CONTEXT::disconnect_monitor() {
  if (!monitor_thread_handle) return;
  HOST_PRINTF(OV_status_printf, "Disconnecting . . .");
  DLGSURFACE* d = dialog_window;
  intptr_t cursor = d ? d->show_wait_cursor() : 0;
  stop_monitor();
  if (d) d->restore_cursor(cursor);
  HOST_PRINTF(OV_status_printf, "Disconnected");
  if (d) d->repaint(DLG_SELF);
}
