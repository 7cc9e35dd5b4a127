// The acquisition thread: opens the chosen connection, drives the counter
// one measurement at a time and hands every reading to the host until the
// host stops it or the connection fails.
#pragma once
#include <cstdint>

class GPIBPORT;

// The thread the host runs for one started acquisition, with the
// ACQ_CONTEXT given to OV_init_acquisition. Answers 1 on every path.
uint32_t acquisition_thread(void* context);

// The port's failure hook during an acquisition: shows the failure to the
// user on one line and tells the thread to abort. The port's owner must be
// the acquisition's context.
int acquisition_failure_hook(GPIBPORT* port, const char* text, int ibsta, int iberr, long ibcntl);
