// The acquisition parameter keys shared with the host: the vocabulary the
// host knows its parameters by. The driver takes the keys of its seventeen
// parameters from here; the descriptions of the others are the host's.
#pragma once

struct ACQ_PARAM_KEY {
  const char* key;
  const char* description;
};

enum { ACQ_PARAM_KEY_COUNT = 108 };
extern const ACQ_PARAM_KEY ACQ_PARAM_KEYS[ACQ_PARAM_KEY_COUNT];

// Indices of the keys the driver uses.
enum {
  KEY_TRACE = 1,
  KEY_NOTES = 2,
  KEY_INSTRUMENT = 5,
  KEY_ADDRESS = 9,
  KEY_SCALE_FACTOR = 15,
  KEY_SAMPLE_INTERVAL = 30,
  KEY_INPUT_FREQ = 32,
  KEY_BIN_DENSITY = 47,
  KEY_BIN_THRESHOLD = 48,
  KEY_TRACE_HISTORY = 49,
  KEY_DURATION = 50,
  KEY_DURATION_TYPE = 51,
  KEY_STOP_CONDITION = 52,
  KEY_DATA_TYPE = 58,
  KEY_INTERFACE = 67,
  KEY_PROLOGIX_COMPATIBILITY_MODE = 100,
  KEY_QUERY_INSTRUMENT_ID = 101,
};
