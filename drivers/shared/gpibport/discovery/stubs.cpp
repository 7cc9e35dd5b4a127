// Placeholder bodies so the port's vtable links until discovery lands.
#include "drivers/shared/gpibport/gpibport.h"

int GPIBPORT::enumerate_interfaces(bool, bool) { interface_count = 0; return 0; }
bool GPIBPORT::list_ftdi_ports(int) { return false; }
bool GPIBPORT::probe_prologix_serial(const char*, const char** text_out) { if (text_out) *text_out = ""; return false; }
bool GPIBPORT::probe_prologix_lan(const char*, const char** text_out) { if (text_out) *text_out = ""; return false; }
bool GPIBPORT::describe_ni_adapter(const char*, const char** text_out) { if (text_out) *text_out = ""; return false; }
bool GPIBPORT::open_discovery_sockets() { return false; }
bool GPIBPORT::send_discovery_request() { return false; }
bool GPIBPORT::collect_discovery_replies(int) { return false; }
void GPIBPORT::close_discovery_sockets() {}
int GPIBPORT::flush_port(COMBLOCK*) { return 0; }
bool GPIBPORT::send_to_stream(COMBLOCK*, const char*, ...) { return false; }
char* GPIBPORT::read_adapter_reply(COMBLOCK*, int, int) { return nullptr; }

void trim_trailing_space(char*) {}
