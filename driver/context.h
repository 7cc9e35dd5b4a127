// The per-acquisition object: the host's acquisition handle, the parameter
// store the host reads, the seventeen typed parameters bound to it, and the
// state of the setup dialog and its live monitor.
#pragma once
#include <atomic>
#include <cstdint>

#include "drivers/shared/gpibport/interface_entry.h"
#include "kvstore/kvstore.h"
#include "platform/thread.h"

class GPIBPORT;
class DLGSURFACE;

// A parameter: its value, then the entry it is bound to and that entry's
// store (both empty until bound). A bound parameter removes its entry when
// it goes away.
template <class V>
struct PARAM {
  V value;
  KVDLGFIELD* entry = nullptr;
  KVBASE* store = nullptr;
  ~PARAM() { unbind(); }
  void unbind() {
    if (entry && store) store->remove(entry);
    entry = nullptr;
    store = nullptr;
  }
};

struct TEXT_VALUE {
  char text[KV_TEXT_MEMBER_SIZE];
};

struct PARAMSET {
  PARAM<TEXT_VALUE> trace{};
  PARAM<TEXT_VALUE> notes{};
  PARAM<double> sample_interval{0.0};
  PARAM<int32_t> data_type{0};
  PARAM<double> scale_factor{0.0};
  PARAM<double> input_freq{0.0};
  PARAM<int32_t> bin_density{29};
  PARAM<int32_t> bin_threshold{4};
  PARAM<int32_t> trace_history{1};
  PARAM<TEXT_VALUE> address{};
  PARAM<uint8_t> prologix_mode{0};
  PARAM<uint8_t> query_id{1};
  PARAM<TEXT_VALUE> instrument{};
  PARAM<double> duration{0.0};
  PARAM<int32_t> duration_type{3};
  PARAM<int32_t> stop_condition{0};
  PARAM<TEXT_VALUE> interface_desc{};

  // Adds the seventeen entries to the store, in order.
  void bind(KVBASE* store);
};

enum { MONITOR_RING_SLOTS = 10, MONITOR_SLOT_SIZE = 512, INCOMING_TEXT_SIZE = 5120 };

class ACQ_CONTEXT {
 public:
  ACQ_CONTEXT();
  virtual ~ACQ_CONTEXT();
  virtual bool create_store();
  virtual void delete_store();
  virtual bool choose_interface(int index);
  virtual void refresh_interfaces();
  virtual void update_controls();
  virtual void pump_monitor();
  virtual bool set_instrument_id(const char* text);
  virtual void queue_line(const char* text);
  virtual int run_monitor();
  virtual void reset_monitor();
  virtual char* dequeue_line(char* buffer, int size);
  virtual void append_incoming(const char* text);
  virtual int show_reading(DLGSURFACE* dialog);
  virtual bool assemble_lines();
  virtual void start_monitor();
  virtual void stop_monitor();
  virtual void disconnect_monitor();

  int32_t acquisition = 0;
  KVBASE store;
  PARAMSET* params = nullptr;

  // Dialog and monitor state. Control "handles" are control identifiers of
  // the dialog surface.
  INTERFACE_ENTRY interfaces[MAX_INTERFACES];
  int32_t interface_count = 0;
  GPIBPORT* port = nullptr;
  DLGSURFACE* dialog_window = nullptr;
  int32_t busy_count = 0;
  int32_t prologix_box = 0;
  int32_t identify_box = 0;
  char line_buffer[512];
  char instrument_id[512];
  int32_t incoming_box = 0;
  int32_t interval_box = 0;
  int32_t id_label = 0;
  int32_t monitor_button = 0;
  char incoming_text[INCOMING_TEXT_SIZE];
  int32_t incoming_length = 0;
  int32_t incoming_lines = 0;
  int32_t caret_countdown = 0;
  int32_t line_count = 0;
  int64_t first_line_time = 0;
  std::atomic<int32_t> monitoring{0};
  int32_t gpib_address = -1;
  char ring[MONITOR_RING_SLOTS][MONITOR_SLOT_SIZE];
  std::atomic<int32_t> ring_write{0};
  std::atomic<int32_t> ring_read{0};
  PLAT_THREAD monitor_thread_handle = nullptr;
  std::atomic<int32_t> monitor_failed{0};
  std::atomic<int32_t> id_received{0};
};
