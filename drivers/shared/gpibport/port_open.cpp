// Opening and closing a connection: the interlock, the NI board or the byte
// stream, and the Prologix adapter dialogue.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "drivers/shared/comblock/serblock.h"
#include "drivers/shared/comblock/tcpblock.h"
#include "drivers/shared/gpibport/gpibport.h"
#include "drivers/shared/gpibport/ni488.h"
#include "platform/clock.h"
#include "platform/nilib.h"

namespace {
enum { CONNECT_SETTLE_MS = 25, ERROR_TEXT_SIZE = 512 };

// The block reports why it could not open in error_text.
COMBLOCK* make_stream(bool network, int default_port, const char* descriptor, char* error_text) {
  if (network) return new (std::nothrow) TCPBLOCK(descriptor, default_port, error_text, ERROR_TEXT_SIZE);
  return new (std::nothrow) SERBLOCK(descriptor, error_text, ERROR_TEXT_SIZE);
}

// Reads a decimal number the way "%d" does (leading white space, a sign,
// digits), held to a size that no version arithmetic can overflow.
bool read_number(const char*& p, int* out) {
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  if (*p < '0' || *p > '9') return false;
  long value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + (*p - '0');
    if (value > 1000000) value = 1000000;
  }
  *out = static_cast<int>(negative ? -value : value);
  return true;
}

// Version texts look like "...Controller version 6.107"; the letter after a
// two-digit minor number (3.12c) tells old firmware generations apart. The
// reply is read no further than its end.
void parse_version(const char* reply, int32_t* major, int32_t* minor, int32_t* revision) {
  const char* found = std::strstr(reply, "ersion ");
  if (!found) return;
  const char* p = found + 7;
  int a = 0, b = 0;
  if (read_number(p, &a)) {
    *major = a;
    if (*p == '.') {
      ++p;
      if (read_number(p, &b)) *minor = b;
    }
  }
  if (*major == 3) {
    size_t n = 0;
    while (n < 12 && found[n]) ++n;
    if (n == 12) *revision = static_cast<unsigned char>(found[11]);
  }
}
}  // namespace

int GPIBPORT::open(int address_in, GPIBPORT_HOOK hook_in, bool clear_device, int timeout_ms, int own_address,
                   bool not_controller, int read_length, bool nudge_in) {
  address = address_in;
  hook = hook_in;
  ni_timeout_ms = read_timeout_ms = timeout_ms;
  ni_read_length = read_length;
  dropout_ms = 500;
  read_callback = nullptr;
  nudge = nudge_in;
  // Address -2 only puts a Prologix adapter into device mode; the port then
  // drives the line without "++" requests.
  if (address == -2) {
    device_mode = is_prologix;
    is_prologix = 0;
    address = -1;
  }

  // connect
  if (interface_in_use("Prologix", false)) {
    fatal_error("Please exit from PROLOGIX.EXE first\n\n");
    return 0;
  }
  if (interface_in_use(interface_text, true)) {
    fatal_error("Port in use\n\n");
    return 0;
  }
  ni_device = -1;
  if (is_ni) {
    stream = nullptr;
    int board_index = std::atoi(interface_text + 4);
    unsigned previous_mode = plat_ni_quiet_errors_begin();
    ni_board = ni488::ibfind(interface_text);
    plat_ni_quiet_errors_end(previous_mode);
    if (ni_board == -1) {
      release_mark();
      fatal_error("National Instruments board (%s) not found", interface_text);
      return 0;
    }
    if (address != -1) {
      ni_device = ni488::ibdev(board_index, address, 0, ni488::timeout_code(ni_timeout_ms), 1, 0);
      if (ni488::ibsta & ni488::ERR) {
        release_mark();
        // The report describes the failed ibdev, not the clean-up after it.
        int failed_sta = ni488::ibsta, failed_err = ni488::iberr;
        long failed_cntl = ni488::ibcntl;
        ni488::ibonl(ni_board, 0);
        ni488::ibsta = failed_sta;
        ni488::iberr = failed_err;
        ni488::ibcntl = failed_cntl;
        ni488::ibcnt = static_cast<int>(failed_cntl);
        fatal_error("ibdev Error\n");
        return 0;
      }
    }
    ni_open = 1;
  } else {
    char error_text[ERROR_TEXT_SIZE];
    error_text[0] = '\0';
    // A LAN adapter put into device mode is still a LAN adapter on its own
    // TCP port.
    bool prologix_lan = is_prologix || device_mode;
    int default_port = prologix_lan ? PROLOGIX_TCP_PORT : INSTRUMENT_TCP_PORT;
    stream = make_stream(is_network != 0, default_port, interface_text, error_text);
    if (!stream || !stream->is_open()) {
      delete stream;
      stream = nullptr;
      error_text[ERROR_TEXT_SIZE - 1] = '\0';
      fatal_error("%s", error_text);
      release_mark();
      return 0;
    }
  }

  plat_sleep_ms(CONNECT_SETTLE_MS);

  if (is_ni) {
    ni488::ibconfig(ni_board, ni488::IbcSAD, 0);
    if (address == -1 && own_address == -1) ni488::ibconfig(ni_board, ni488::IbcLON, 1);
    ni488::ibconfig(ni_board, ni488::IbcTMO, ni488::timeout_code(timeout_ms));
    if (own_address != -1) {
      ni488::ibconfig(ni_board, ni488::IbcPAD, own_address);
      if (ni488::ibsta & ni488::ERR) {
        fatal_error("ibpad Error\n");
        release_mark();
        return 0;
      }
    }
    if (not_controller) ni488::ibconfig(ni_board, ni488::IbcSC, 0);
    ni488::ibconfig(ni_board, ni488::IbcAUTOPOLL, 1);
    ni488::ibconfig(ni_board, ni488::IbcCICPROT, 0);
    if (clear_device) {
      ni488::ibclr(ni_device);
      if (ni488::ibsta & ni488::ERR) {
        fatal_error("ibclr Error\n");
        release_mark();
        return 0;
      }
    }
    set_terminator(10, true, false);
    return 1;
  }

  extended_commands = 0;
  if (device_mode) {
    send("++mode 0");
    return 1;
  }
  if (!is_prologix) {
    set_terminator(10, true, true);
    flush_receive_buffers();
    return 1;
  }

  fw_major = 1;
  fw_minor = 0;
  fw_revision = 0;
  send("++auto 0");
  if (nudge) send(" ");
  auto_read = 0;
  set_terminator(10, true, false);
  send("++eot_enable 0");
  char* reply = query("++ver", true);
  if (!reply) {
    fatal_error("query(++ver) error\n");
    release_mark();
    return 0;
  }
  parse_version(reply, &fw_major, &fw_minor, &fw_revision);
  int version = 100 * fw_major + fw_minor;
  // Adapters print the letter in either case ("3.12C" in the field).
  int revision = fw_revision >= 'A' && fw_revision <= 'Z' ? fw_revision - 'A' + 'a' : fw_revision;
  extended_commands = version > 312 || (version == 312 && revision >= 'c');
  if (extended_commands || is_network) {
    send("++eos 0");
    if (address != -1) {
      send("++mode 1");
      sendf("++addr %d", address);
    } else {
      send("++mode 0");
      if (own_address != -1) sendf("++addr %d", own_address);
    }
  }
  flush_receive_buffers();
  return 1;
}

int GPIBPORT::close(bool return_to_local) {
  if (is_ni) {
    if (ni_open) {
      if (ni_device != -1) {
        if (return_to_local) ni488::ibloc(ni_device);
        ni488::ibonl(ni_device, 0);
      }
      ni488::ibonl(ni_board, 0);
      ni_open = 0;
    }
  } else if (stream) {
    if (is_prologix) {
      if (auto_read) {
        send("++auto 0");
        if (nudge) send(" ");
        auto_read = 0;
      }
      if (reset_to_local && return_to_local) send("++loc");
    }
    flush_receive_buffers();
    delete stream;
    stream = nullptr;
  }
  release_mark();
  address = -1;
  hook = nullptr;
  device_mode = 0;
  return 1;
}
