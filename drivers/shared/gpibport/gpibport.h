// The instrument port: one object that talks to one instrument over an NI
// board, a Prologix GPIB-USB or GPIB-ETHERNET adapter, a direct TCP socket or
// a plain serial line. Callers send instrument commands only; the port adds
// the adapter's "++" dialogue itself.
#pragma once
#include <cstdint>

#include "drivers/shared/comblock/comblock.h"
#include "drivers/shared/gpibport/interface_entry.h"
#include "platform/ifmark.h"

enum {
  KIND_NI_GPIB = 1,
  KIND_PROLOGIX_USB = 2,
  KIND_PROLOGIX_LAN = 3,
  KIND_TCP_INSTRUMENT = 4,
  KIND_SERIAL_INSTRUMENT = 5,
};

enum {
  GPIBPORT_WORK_SIZE = 65536,
  GPIBPORT_TEXT_SIZE = 260,        // interface_text, with its terminator
  GPIBPORT_MAX_DISCOVERY_SOCKETS = 128,
  PROLOGIX_TCP_PORT = 1234,
  INSTRUMENT_TCP_PORT = 5025,
  PROLOGIX_DISCOVERY_PORT = 3040,
};

class GPIBPORT;

// The failure hook: (port, message, ibsta, iberr, ibcntl). Its result is
// handed back by fatal_error and otherwise ignored.
typedef int (*GPIBPORT_HOOK)(GPIBPORT* port, const char* text, int ibsta, int iberr, long ibcntl);

class GPIBPORT {
 public:
  GPIBPORT();
  virtual ~GPIBPORT();
  virtual int valid();
  virtual int load_connect_ini(const char* file_name);
  virtual int select_interface(const char* descriptor, int kind_hint = 0, const char* serial_settings = nullptr);
  virtual int open(int address, GPIBPORT_HOOK hook, bool clear_device, int timeout_ms, int own_address,
                   bool not_controller, int read_length, bool nudge);
  virtual int close(bool return_to_local);
  virtual int flush_receive_buffers();
  virtual int set_timeout_ms(int ms);
  virtual int set_auto_read(int mode);
  virtual COMBLOCK_POLL set_read_callback(COMBLOCK_POLL poll);
  virtual int set_terminator(int eos_char, bool assert_eoi, bool board_too);
  virtual int send(const char* text, int length = -1, bool to_board = false, bool tolerate_abort = false);
  virtual int send_bytes(const void* data, int length, bool to_board = false, bool tolerate_abort = false);
  virtual int send_trimmed(const char* text);
  virtual int sendf(const char* format, ...);
  // The reply in work_buffer (zero-terminated), or null after a failure.
  virtual char* receive(int max_count, bool timeout_is_error, bool from_interface, int* status_out);
  // The bytes in work_buffer (not terminated), or null after a failure.
  virtual uint8_t* receive_bytes(int max_count, bool timeout_is_error, bool from_interface, int* count_out);
  virtual int wait_status(bool board);
  virtual void clear();
  virtual int serial_poll();
  virtual char* query(const char* text, bool from_interface = false);
  virtual int fatal_error(const char* format, ...);
  // Interface discovery (drivers/shared/gpibport/discovery/).
  virtual int enumerate_interfaces(bool skip_lan, bool skip_ni);
  virtual bool list_ftdi_ports(int com_port);
  // text_out (may be null): the adapter's version text or the failure text;
  // points into a buffer that stays valid until the next probe.
  virtual bool probe_prologix_serial(const char* descriptor, const char** text_out);
  virtual bool probe_prologix_lan(const char* descriptor, const char** text_out);
  virtual bool describe_ni_adapter(const char* descriptor, const char** text_out);

  // The interlock: whether another holder marks the interface of that name
  // (up to its first ':') in use. With keep, a free name becomes this port's
  // mark (hCOMSem).
  bool interface_in_use(const char* name, bool keep);
  void release_mark();

  // LAN discovery and probing helpers (discovery/).
  bool open_discovery_sockets();
  bool send_discovery_request();
  bool collect_discovery_replies(int duration_ms);
  void close_discovery_sockets();
  int flush_port(COMBLOCK* stream);
  bool send_to_stream(COMBLOCK* stream, const char* format, ...);
  char* read_adapter_reply(COMBLOCK* stream, int timeout_ms, int end_char);

  int32_t valid_flag;
  char* work_buffer;
  int32_t ni_device;
  int32_t ni_board;
  GPIBPORT_HOOK hook;
  int32_t address;
  int32_t in_fatal_error;
  int32_t ni_timeout_ms;
  int32_t terminator;
  int32_t ni_read_length;
  int32_t dropout_ms;
  COMBLOCK_POLL read_callback;
  int32_t read_timeout_ms;
  int32_t fw_major, fw_minor;
  int32_t fw_revision;
  int32_t extended_commands;
  int32_t auto_read;
  int32_t device_mode;
  int32_t nudge;
  int32_t connection_kind;
  char interface_text[GPIBPORT_TEXT_SIZE];
  int32_t is_ni;
  int32_t is_network;
  int32_t is_prologix;
  int32_t write_delay_ms;
  int32_t reset_to_local;
  PLAT_MARK hCOMSem;
  COMBLOCK* stream;
  uint8_t ni_open;
  intptr_t discovery_sockets[GPIBPORT_MAX_DISCOVERY_SOCKETS];  // -1: closed slot
  int32_t discovery_socket_count;
  uint16_t discovery_sequence;
  void* owner;
  INTERFACE_ENTRY interfaces[MAX_INTERFACES];
  int32_t interface_count;

 private:
  GPIBPORT(const GPIBPORT&) = delete;
  GPIBPORT& operator=(const GPIBPORT&) = delete;
};

// Ends the text after its last character that is not white space; a text of
// white space only stays as it is.
void trim_trailing_space(char* text);
