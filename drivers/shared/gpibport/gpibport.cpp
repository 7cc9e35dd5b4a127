// The port object: construction, classification of the interface
// descriptor, the in-use interlock and the failure report.
#include "drivers/shared/gpibport/gpibport.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "drivers/shared/gpibport/ni488.h"
#include "platform/msgbox.h"

#define PROLOGIX_USB_SETTINGS ":baud=115200 parity=N data=8 stop=1"

namespace {
bool starts_with_nocase(const char* text, const char* prefix) {
  for (; *prefix; ++text, ++prefix) {
    char c = *text;
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != *prefix) return false;
  }
  return true;
}
}  // namespace

GPIBPORT::GPIBPORT()
    : valid_flag(0),
      work_buffer(nullptr),
      ni_device(0),
      ni_board(-1),
      hook(nullptr),
      address(-1),
      in_fatal_error(0),
      ni_timeout_ms(100000),
      terminator(-1),
      ni_read_length(0),
      dropout_ms(500),
      read_callback(nullptr),
      read_timeout_ms(0),
      fw_major(1),
      fw_minor(0),
      fw_revision(0),
      extended_commands(0),
      auto_read(0),
      device_mode(0),
      nudge(0),
      connection_kind(0),
      interface_text(),
      is_ni(0),
      is_network(0),
      is_prologix(0),
      write_delay_ms(0),
      reset_to_local(1),
      hCOMSem(nullptr),
      stream(nullptr),
      ni_open(0),
      discovery_socket_count(0),
      discovery_sequence(0),
      owner(nullptr),
      interfaces(),
      interface_count(0) {
  for (intptr_t& s : discovery_sockets) s = -1;
  // One byte beyond the largest read, so that a full receive area still
  // gets its terminating zero.
  work_buffer = new (std::nothrow) char[GPIBPORT_WORK_SIZE + 1];
  if (work_buffer) work_buffer[0] = '\0';
  valid_flag = work_buffer != nullptr;
}

GPIBPORT::~GPIBPORT() {
  close(true);
  delete[] work_buffer;
  work_buffer = nullptr;
  valid_flag = 0;
}

int GPIBPORT::valid() { return valid_flag; }

// Connection settings come from the interface descriptor alone.
int GPIBPORT::load_connect_ini(const char*) { return 0; }

int GPIBPORT::select_interface(const char* descriptor, int kind_hint, const char* serial_settings) {
  interface_text[0] = '\0';
  connection_kind = kind_hint;
  is_prologix = is_network = is_ni = 0;
  write_delay_ms = 0;
  reset_to_local = 1;
  if (!descriptor) descriptor = "";

  // A descriptor that does not fit whole is refused rather than cut: a cut
  // name would open some other port or host.
  size_t length = std::strlen(descriptor);
  if (length >= sizeof interface_text) {
    connection_kind = 0;
    return connection_kind;
  }
  std::memcpy(interface_text, descriptor, length + 1);

  if (starts_with_nocase(descriptor, "COM")) {
    if (kind_hint == KIND_SERIAL_INSTRUMENT || std::strchr(descriptor, '=')) {
      connection_kind = KIND_SERIAL_INSTRUMENT;
      if (serial_settings) {
        int n = std::snprintf(interface_text, sizeof interface_text, "%s:%s", descriptor, serial_settings);
        if (n < 0 || n >= static_cast<int>(sizeof interface_text)) {
          interface_text[0] = '\0';
          connection_kind = 0;
        }
      }
    } else {
      char* colon = std::strchr(interface_text, ':');
      if (colon) *colon = '\0';
      size_t name_length = std::strlen(interface_text);
      if (name_length + sizeof PROLOGIX_USB_SETTINGS > sizeof interface_text) {
        interface_text[0] = '\0';
        connection_kind = 0;
        return connection_kind;
      }
      std::memcpy(interface_text + name_length, PROLOGIX_USB_SETTINGS, sizeof PROLOGIX_USB_SETTINGS);
      connection_kind = KIND_PROLOGIX_USB;
      is_prologix = 1;
    }
  } else if (starts_with_nocase(descriptor, "GPIB")) {
    connection_kind = KIND_NI_GPIB;
    is_ni = 1;
  } else if (std::strchr(descriptor, '.')) {
    connection_kind = kind_hint == KIND_TCP_INSTRUMENT ? KIND_TCP_INSTRUMENT : KIND_PROLOGIX_LAN;
    is_network = 1;
    is_prologix = connection_kind == KIND_PROLOGIX_LAN;
  }
  return connection_kind;
}

bool GPIBPORT::interface_in_use(const char* name, bool keep) {
  // The mark names the interface, not its settings: COM3 whatever its baud
  // rate.
  char mark_name[512];
  size_t n = 0;
  if (name) {
    while (name[n] && name[n] != ':' && n < sizeof mark_name - 1) {
      mark_name[n] = name[n];
      ++n;
    }
  }
  mark_name[n] = '\0';

  PLAT_MARK mark = nullptr;
  PLAT_MARK_RESULT result = plat_mark_create(mark_name, &mark);
  if (result == PLAT_MARK_FAILED) return false;
  if (result == PLAT_MARK_EXISTS) return true;
  if (keep) {
    release_mark();
    hCOMSem = mark;
  } else {
    plat_mark_close(mark);
  }
  return false;
}

void GPIBPORT::release_mark() {
  plat_mark_close(hCOMSem);
  hCOMSem = nullptr;
}

int GPIBPORT::fatal_error(const char* format, ...) {
  if (in_fatal_error) return 0;
  in_fatal_error = 1;

  // Without a work buffer the report still gets through, only shorter.
  char fallback[1024];
  char* text = work_buffer ? work_buffer : fallback;
  size_t size = work_buffer ? static_cast<size_t>(GPIBPORT_WORK_SIZE) : sizeof fallback;
  text[0] = '\0';
  if (format) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, size, format, args);
    va_end(args);
  }
  size_t used = std::strlen(text);
  if (connection_kind == KIND_NI_GPIB) {
    ni488::append_status_report(text, size);
  } else if (used < size) {
    std::snprintf(text + used, size - used, " (Communications error)\n");
  }
  used = std::strlen(text);
  if (used + 1 < size) {
    text[used] = '\n';
    text[used + 1] = '\0';
  }

  int result = 0;
  if (hook) {
    result = hook(this, text, ni488::ibsta, ni488::iberr, ni488::ibcntl);
  } else {
    plat_message_box(text, "GPIBPORT Fatal Error", PLAT_MB_OK);
    std::exit(1);
  }
  in_fatal_error = 0;
  return result;
}
