// Placeholder bodies for the dialog and monitor side of ACQ_CONTEXT, so
// that everything links while the dialog is being written. Replaced by the
// real dialog code.
#include "driver/context.h"

bool ACQ_CONTEXT::choose_interface(int) { return false; }
void ACQ_CONTEXT::refresh_interfaces() {}
void ACQ_CONTEXT::update_controls() {}
void ACQ_CONTEXT::pump_monitor() {}
void ACQ_CONTEXT::queue_line(const char*) {}
int ACQ_CONTEXT::run_monitor() { return 0; }
void ACQ_CONTEXT::reset_monitor() {}
char* ACQ_CONTEXT::dequeue_line(char*, int) { return nullptr; }
void ACQ_CONTEXT::append_incoming(const char*) {}
int ACQ_CONTEXT::show_reading(DLGSURFACE*) { return 1; }
bool ACQ_CONTEXT::assemble_lines() { return false; }
void ACQ_CONTEXT::start_monitor() {}
void ACQ_CONTEXT::stop_monitor() {}
void ACQ_CONTEXT::disconnect_monitor() {}
