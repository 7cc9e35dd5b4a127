#pragma once
#include <cstdint>

enum { IFACE_COM_PORT = 1, IFACE_PROLOGIX_LAN = 2, IFACE_NI_GPIB = 3 };
enum { MAX_INTERFACES = 256 };

struct INTERFACE_ENTRY {
  char display_text[512];
  char descriptor[512];
  int32_t kind;
  int32_t port_number;
  uint8_t mac_address[6];
};
