// What the monitor thread shares with the dialog, on the heap and counted:
// the dialog's port, the ring of replies and the flags. The dialog holds one
// reference while it is open and a running monitor thread another, so a
// thread that outlives the dialog's bounded wait never meets a deleted port
// or context: it touches only this block, and whoever lets go last frees
// the block and its port.
#pragma once
#include <atomic>
#include <cstdint>

#include "driver/context.h"

class GPIBPORT;

enum {
  MONITOR_TEXT_SIZE = 1024,     // the Interface parameter as the thread saw it
  MONITOR_ADDRESS_SIZE = 512,   // the whole Instrument Address field
  MONITOR_REPLY_SIZE = 1024,
  MONITOR_STOP_WAIT_MS = 5000,
};

struct MONITOR_BLOCK {
  std::atomic<int32_t> refs{1};
  GPIBPORT* port = nullptr;
  std::atomic<int32_t> monitoring{0};
  std::atomic<int32_t> monitor_failed{0};
  // Set by the dialog when it wants the thread gone. Unlike monitoring, the
  // thread never sets it, so a stop that comes before the thread has begun
  // its dialogue still ends it.
  std::atomic<int32_t> stop_requested{0};
  // The "Auto-identify instrument" box, mirrored by the dialog thread on every
  // tick so that the monitor thread never reads a control.
  std::atomic<int32_t> identify_checked{0};
  std::atomic<int32_t> id_received{0};
  char instrument_id[MONITOR_SLOT_SIZE];
  char ring[MONITOR_RING_SLOTS][MONITOR_SLOT_SIZE];
  std::atomic<int32_t> ring_write{0};
  std::atomic<int32_t> ring_read{0};
  // Read by the dialog thread before the thread starts.
  char interface_text[MONITOR_TEXT_SIZE];
  char address_text[MONITOR_ADDRESS_SIZE];
  int32_t gpib_address = 0;
};

// A block with a new port whose owner is the block; null when either cannot
// be allocated.
MONITOR_BLOCK* monitor_block_create();
void monitor_block_retain(MONITOR_BLOCK* block);
// Drops one reference; the last one deletes the port and the block.
void monitor_block_release(MONITOR_BLOCK* block);

// The block of the context's dialog port, or null.
MONITOR_BLOCK* monitor_block_of(ACQ_CONTEXT* context);

// The dialog's port: created at initialisation (false when it cannot be
// allocated or is not valid; the context then has no port), released at the
// end of the dialog.
bool create_dialog_port(ACQ_CONTEXT* context);
void release_dialog_port(ACQ_CONTEXT* context);

// Releases the handles of monitor threads that outlived the dialog's wait
// and have ended since; answers how many are still running.
int reap_abandoned_threads();

// The two ends of the ring.
void monitor_queue_line(MONITOR_BLOCK* block, const char* text);
char* monitor_dequeue_line(MONITOR_BLOCK* block, char* buffer, int size);

// The monitor's dialogue with the counter on the block's port; answers 0.
int monitor_dialogue(MONITOR_BLOCK* block);

// The thread procedure; arg is a block whose reference the thread owns.
uint32_t monitor_thread(void* arg);

// The failure hook the monitor gives to the port's open.
int monitor_failure_hook(GPIBPORT* port, const char* text, int ibsta, int iberr, long ibcntl);
