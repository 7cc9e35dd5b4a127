#include "driver/context.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>

#include "driver/host_binding.h"
#include "driver/param_keys.h"
#include "support/text.h"

namespace {

// The maxima of the integer members are kept as texts beside the keys.
const char kBinDensityMax[] = "100";
const char kBinThresholdMax[] = "1000000";
const char kTraceHistoryMax[] = "1000";

const char* key(int index) { return ACQ_PARAM_KEYS[index].key; }

// The dialog description of an entry the store accepted.
void describe(KVDLGFIELD* entry, const char* key, int ctrl_type, int ctrl_id) {
  entry->ctrl_type = ctrl_type;
  entry->ctrl_ID = ctrl_id;
  text_copy(entry->label, sizeof entry->label, key);
}

void limits(KVDLGFIELD* entry, const char* min, const char* max, const char* def) {
  text_copy(entry->max, sizeof entry->max, max);
  text_copy(entry->min, sizeof entry->min, min);
  text_copy(entry->def, sizeof entry->def, def);
}

void bind_text(PARAM<TEXT_VALUE>& p, KVBASE* store, const char* key, const char* initial, uint32_t attr,
               int ctrl_type, int ctrl_id) {
  p.store = store;
  p.entry = store->addstr(key, p.value.text, initial, attr, 0);
  if (p.entry) describe(p.entry, key, ctrl_type, ctrl_id);
}

void bind_real(PARAM<double>& p, KVBASE* store, const char* key, const char* initial, uint32_t attr, int ctrl_id,
               const char* min, const char* max, const char* def) {
  p.store = store;
  p.entry = store->adddbl(key, &p.value, initial, attr, 0);
  if (!p.entry) return;
  describe(p.entry, key, CTRL_REAL, ctrl_id);
  limits(p.entry, min, max, def);
}

void bind_int(PARAM<int32_t>& p, KVBASE* store, const char* key, uint32_t attr, int ctrl_type, int ctrl_id,
              const char* min = nullptr, const char* max = nullptr, const char* choices = nullptr) {
  p.store = store;
  p.entry = store->addnum(key, &p.value, nullptr, attr, 0);
  if (!p.entry) return;
  describe(p.entry, key, ctrl_type, ctrl_id);
  if (choices) {
    text_copy(p.entry->choices, sizeof p.entry->choices, choices);
  } else {
    char def[16];
    std::snprintf(def, sizeof def, "%d", static_cast<int>(p.value));
    limits(p.entry, min, max, def);
  }
}

void bind_switch(PARAM<uint8_t>& p, KVBASE* store, const char* key, int ctrl_id) {
  p.store = store;
  p.entry = store->addbool(key, &p.value, nullptr, 0, 0);
  if (p.entry) describe(p.entry, key, CTRL_CHECKBOX, ctrl_id);
}

}  // namespace

void PARAMSET::bind(KVBASE* s) {
  bind_text(trace, s, key(KEY_TRACE), "", 0x05000001, CTRL_TEXT, 1000);
  bind_text(notes, s, key(KEY_NOTES), "", 0x0A000001, CTRL_TEXT, 1021);
  bind_real(sample_interval, s, key(KEY_SAMPLE_INTERVAL), "1.0", 0x32200041, 1003, "0.001", "1000", "1.0");
  bind_int(data_type, s, key(KEY_DATA_TYPE), 0, CTRL_COMBO, 1023, nullptr, nullptr, "Time Interval\nFrequency");
  bind_real(scale_factor, s, key(KEY_SCALE_FACTOR), "1.0", 0x2D000000, 1004, "1E-18", "1E+18", "1.0");
  bind_real(input_freq, s, key(KEY_INPUT_FREQ), "10E6", 0x14000081, 1007, "1E-6", "2E+8", "10E6");
  bind_int(bin_density, s, key(KEY_BIN_DENSITY), 0x5A000000, CTRL_INT, 1005, "1", kBinDensityMax);
  bind_int(bin_threshold, s, key(KEY_BIN_THRESHOLD), 0x5F000000, CTRL_INT, 1006, "1", kBinThresholdMax);
  bind_int(trace_history, s, key(KEY_TRACE_HISTORY), 0x50000000, CTRL_INT, 1013, "1", kTraceHistoryMax);
  bind_text(address, s, key(KEY_ADDRESS), "3", 0xF0000000, CTRL_TEXT, 1015);
  bind_switch(prologix_mode, s, key(KEY_PROLOGIX_COMPATIBILITY_MODE), 1028);
  bind_switch(query_id, s, key(KEY_QUERY_INSTRUMENT_ID), 1029);
  bind_text(instrument, s, key(KEY_INSTRUMENT), U62_MODEL_NAME, 0xE6000001, CTRL_TEXT, 1018);
  bind_real(duration, s, key(KEY_DURATION), "1", 0x3C001001, 1011, "1E-6", "1E+7", "1");
  bind_int(duration_type, s, key(KEY_DURATION_TYPE), 0, CTRL_COMBO, 1012, nullptr, nullptr,
           "Points\nSeconds\nMinutes\nHours\nDays");
  bind_int(stop_condition, s, key(KEY_STOP_CONDITION), 0, CTRL_COMBO, 1014, nullptr, nullptr,
           "Manually terminated or acquisition complete\nManually terminated");
  bind_text(interface_desc, s, key(KEY_INTERFACE), "", 0, CTRL_TEXT, 0);
}

ACQ_CONTEXT::ACQ_CONTEXT() {
  std::memset(interfaces, 0, sizeof interfaces);
  line_buffer[0] = 0;
  instrument_id[0] = 0;
  incoming_text[0] = 0;
  std::memset(ring, 0, sizeof ring);
  if (create_store()) std::printf("Acq context %" PRIXPTR " created\n", reinterpret_cast<uintptr_t>(this));
}

ACQ_CONTEXT::~ACQ_CONTEXT() {
  delete_store();
  std::printf("Acq context %" PRIXPTR " destroyed\n", reinterpret_cast<uintptr_t>(this));
}

bool ACQ_CONTEXT::create_store() {
  params = new (std::nothrow) PARAMSET;
  if (!params) return false;
  params->bind(&store);
  return true;
}

void ACQ_CONTEXT::delete_store() {
  if (!params) return;
  delete params;
  params = nullptr;
}

bool ACQ_CONTEXT::set_instrument_id(const char* text) {
  if (params && params->instrument.entry) params->instrument.entry->set_str(text);
  return g_host.OV_update_acquisition_parameters(acquisition, &store);
}
