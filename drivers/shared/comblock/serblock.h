// The byte stream on a serial port: a real RS-232 port or the virtual COM
// port of a USB adapter.
#pragma once
#include <cstdint>

#include "drivers/shared/comblock/comblock.h"
#include "platform/serial.h"

enum {
  SERBLOCK_PATH_SIZE = 260,
  SERBLOCK_SETTINGS_SIZE = 260,
  SERBLOCK_PURGE_GRACE_MS = 250,
  SERBLOCK_ERROR_TEXT_SIZE = 512,
  // Flow-control mask bits of set_flow_control.
  SERBLOCK_FLOW_DTR_HANDSHAKE = 1,
  SERBLOCK_FLOW_RTS_HANDSHAKE = 2,
  SERBLOCK_FLOW_DSR_OUT = 4,
  SERBLOCK_FLOW_CTS_OUT = 8,
};

class SERBLOCK : public COMBLOCK {
 public:
  // descriptor: "COMn" (any case), a device path or a device name in /dev,
  // optionally followed by ':' and a settings text (for example
  // "COM4:baud=9600 parity=E data=7 stop=1"; the default is
  // SERBLOCK_DEFAULT_SETTINGS). With error_text the failure text goes there
  // (cut to error_size bytes) instead of into a message box.
  SERBLOCK(const char* descriptor, char* error_text, int error_size = SERBLOCK_ERROR_TEXT_SIZE);
  ~SERBLOCK() override;

  bool is_open() override;
  int transmit(const void* data, int length, int timeout_ms) override;
  uint8_t* read(int max_count, int terminator, int timeout_ms, int dropout_msec, COMBLOCK_POLL poll, int* count_out,
                int* result_out) override;

  void set_dtr(bool on);
  void configure(const char* settings_text, bool handshake);
  void set_flow_control(int mask);

  // The device path that was opened and the settings text it was given.
  const char* path() const { return port_path; }
  const char* settings_text() const { return settings; }

 private:
  bool open_port(char* error_text, int error_size);

  char port_path[SERBLOCK_PATH_SIZE];
  char settings[SERBLOCK_SETTINGS_SIZE];
  bool open_flag;
  PLAT_SERIAL handle;
  bool settings_fit;  // false: the settings text was longer than the block keeps
  uint8_t receive_area[RECV_AREA_SIZE];
  uint8_t receive_cell;
};
