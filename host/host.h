// The stand-in host: the 22 support functions a driver module binds by
// name, the application record and the microsecond timer, and an engine
// that runs each acquisition on a thread of its own while it records what
// the driver tells it. The support functions carry no pointer of their own,
// so there is one host per process and the functions below reach it.
//
// Every wait takes a time-out in milliseconds and answers whether the
// condition was met; nothing here blocks without a bound.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "driver/ovhost.h"

// The address of the host function with this name, with exactly the type
// that driver/ovhost.h gives it; null for every other name.
extern "C" void* host_resolve(const char* name);

namespace ovhost {

// The 22 names host_resolve answers, in the order a driver binds them.
const std::vector<std::string>& function_names();

// The application record handed to OVD_startup. Only the settings folder
// lives in it, as a NUL-terminated text at OV_APP_SETTINGS_FOLDER_OFFSET
// that always ends with a path separator.
void* application_record();
size_t application_record_size();
// Stores the folder text, adding the trailing '/' when it is missing.
// Answers false when the text does not fit the record.
bool set_settings_folder(const std::string& folder);
std::string settings_folder();

// The timer handed to OVD_startup: microseconds on a monotonic clock.
OV_TIMER* timer();

// What the driver gave OV_register_driver.
struct Registration {
  bool registered = false;  // registered and not yet unregistered
  intptr_t handle = 0;      // the handle answered, 0 when refused
  void* instance = nullptr;
  std::string name;
  int a = 0, b = 0, c = 0;
  OVD_ACQUIRE_FN acquire = nullptr;
  int register_calls = 0;
  int unregister_calls = 0;
};
Registration registration();

// Knobs for tests; reset() restores these defaults.
struct Config {
  bool refuse_registration = false;  // OV_register_driver answers 0
  int max_slots = 4;                 // OV_available_slots = max_slots - open acquisitions
  bool init_result = true;           // OV_init_acquisition (after its own checks)
  bool update_result = true;         // OV_update_acquisition_parameters
  bool alloc_timing_result = true;   // OV_alloc_timing_records
  size_t thread_stack_size = 8u << 20;
  size_t sample_retention = 1u << 20;  // samples kept per acquisition; counts go on
  bool echo = true;                    // print failure/warning/status texts to stderr
};
Config config();
void configure(const Config& config);

struct Sample {
  double reading = 0;
  int channel = 0;
  bool frequency = false;  // OV_process_acquired_freq_sample, else phase difference
  int64_t micros = 0;      // arrival, on the host timer
  bool locked = false;     // the calling thread held OV_lock
};

enum class Kind { failure, warning, status };
struct Message {
  Kind kind;
  std::string text;  // as formatted by the driver
  int64_t micros;
};

struct Param {
  std::string key;
  std::string value;
  uint32_t type = 0;
  uint32_t flags = 0;
  uint32_t attr = 0;
};

// One acquisition as the host sees it. Handles are the driver's first
// argument; a per-acquisition call with a handle the host never opened
// creates a record for it (so a test can run a thread function directly),
// but only OV_init_acquisition takes a slot.
struct Status {
  bool known = false;
  bool initialized = false;
  bool open = false;  // holds a slot: initialized, neither cancelled nor closed
  bool cancelled = false;
  bool started = false;
  bool thread_ended = false;
  bool destroyed = false;  // the driver's destroy function was called
  std::string name;
  int one = 0;
  int flags = 0;
  void* context = nullptr;
  int command = 0;
  int state = 0;
  int finish = 0;  // argument of OV_finish_acquisition, 0 before
  int finish_calls = 0;
  uint32_t thread_result = 0;
  size_t sample_count = 0;
  int updates = 0;  // accepted OV_update_acquisition_parameters calls
  int lock_errors = 0;  // unlock without holding the lock
  int gate_calls = 0;
};

// A handle that no acquisition has used yet (1, 2, ...).
int new_handle();

Status status(int acq);
std::vector<Sample> samples(int acq);
std::vector<Param> parameters(int acq);  // from the latest update
// The value of the newest received entry with that key (compared without
// regard to case, as the store does); "" when absent.
std::string parameter(int acq, const std::string& key);
bool has_parameter(int acq, const std::string& key);
std::vector<Message> messages();
std::vector<Message> messages(Kind kind);
// The host calls this acquisition received, oldest first, as short texts:
// "init", "update", "cancel", "start", "lock", "unlock", "state 1",
// "command 5", "alloc_timing", "timing_done", "finish 4", and the host's own
// "host command 4", "thread_end" and "close"; an unlock by a thread that
// does not hold the lock is "unlock (not held)". Only the most recent 4096
// are kept. OV_lock is re-entrant for its holder; a second thread waits for
// it at most 30 s and then takes it anyway, counting a lock error, so that
// a driver that never unlocks shows up as a fault instead of a hang.
std::vector<std::string> calls(int acq);

// The host's side of the acquisition's controls.
// As OV_set_thread_command, except that a stop (4) never replaces an abort
// (5) that is already set.
void set_thread_command(int acq, int command);
int thread_command(int acq);
int thread_state(int acq);
void set_gate(int acq, bool open);  // OV_acquisition_gate; open by default

// OV_timing_acquisition_done as computed now from the received Duration,
// Duration Type (0 points, 1 seconds, 2 minutes, 3 hours, 4 days) and Stop
// Condition (1: manual stop only). Time runs from the first sample.
bool timing_done(int acq);

bool wait_samples(int acq, size_t count, int timeout_ms);
bool wait_thread_end(int acq, int timeout_ms);
bool wait_started(int acq, int timeout_ms);
// Waits for a message of that kind whose text contains the part.
bool wait_message(Kind kind, const std::string& part, int timeout_ms);

// Waits for the thread to end, then calls the driver's destroy function on
// the context once (not for a cancelled acquisition, whose context stays
// with the driver) and frees the slot. False when the thread is still
// running at the time-out; nothing is destroyed then.
bool close_acquisition(int acq, int timeout_ms);

// Ends what is still running (abort command, bounded wait), closes every
// acquisition, forgets all records, messages and the registration, and
// restores the default configuration. Answers false when some thread did
// not end; its record is then left alone.
bool reset(int timeout_ms = 5000);

// Listeners, called on the thread that made the host call; keep them
// short. Samples arrive with the acquisition's lock held by the driver.
void on_sample(std::function<void(int acq, const Sample&)> listener);
void on_message(std::function<void(const Message&)> listener);
void on_parameters(std::function<void(int acq)> listener);

// How a message is shown on the terminal: failures on one line (control
// characters become blanks) unless the text contains "ibfind", whose
// multi-line status report is kept as it is.
std::string display_text(Kind kind, const std::string& text);

// Reads a store through its binary layout, as a host of another build does:
// the entry list from first to last, each entry's key, value text, type,
// flags and attr. At most max_entries entries are read.
std::vector<Param> read_store(const KVBASE* store, size_t max_entries = 4096);

// Number reading as the driver's parameter store does it: fractions
// ("1/10"), products ("2*3") and scientific notation.
double parse_number(const std::string& text);

}  // namespace ovhost
