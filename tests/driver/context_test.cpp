// The acquisition context: its seventeen parameters as the host and the
// settings file see them, Restore Defaults, and the instrument identity.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include "driver/context.h"
#include "driver/host_binding.h"
#include "driver/param_keys.h"

namespace {

struct ROW {
  const char* key;
  const char* text;
  int ctrl_id;
};

const ROW kInitial[] = {
    {"Trace", "", 1000},
    {"Notes", "", 1021},
    {"Sample Interval", "1.0", 1003},
    {"Data Type", "0", 1023},
    {"Scale Factor", "1.0", 1004},
    {"Input Freq", "10E6", 1007},
    {"Bin Density", "29", 1005},
    {"Bin Threshold", "4", 1006},
    {"Trace History", "1", 1013},
    {"Address", "3", 1015},
    {"Prologix Compatibility Mode", "False", 1028},
    {"Query Instrument ID", "True", 1029},
    {"Instrument", "Picotest/Array U6200A series", 1018},
    {"Duration", "1", 1011},
    {"Duration Type", "3", 1012},
    {"Stop Condition", "0", 1014},
    {"Interface", "", 0},
};

int update_calls;
KVBASE* updated_store;
bool update_answer = true;
bool record_update(int acq, KVBASE* store) {
  update_calls++;
  updated_store = store;
  return update_answer;
}

std::string read_all(FILE* f) {
  std::string out;
  char buf[512];
  std::rewind(f);
  while (size_t n = std::fread(buf, 1, sizeof buf, f)) out.append(buf, n);
  return out;
}

}  // namespace

TEST(Context, NewStoreHoldsTheSeventeenEntriesInOrder) {
  ACQ_CONTEXT context;
  ASSERT_NE(context.params, nullptr);
  ASSERT_EQ(context.store.count(), 17);
  for (int i = 0; i < 17; i++) {
    KVDLGFIELD* e = context.store.at(i);
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e->key, kInitial[i].key);
    EXPECT_STREQ(e->str(), kInitial[i].text) << kInitial[i].key;
    EXPECT_EQ(e->ctrl_ID, kInitial[i].ctrl_id) << kInitial[i].key;
    EXPECT_STREQ(e->label, kInitial[i].key);
  }
  EXPECT_EQ(context.params->bin_density.value, 29);
  EXPECT_EQ(context.params->query_id.value, 1);
  EXPECT_DOUBLE_EQ(context.params->input_freq.value, 10e6);
  EXPECT_STREQ(context.store.lookup("Bin Threshold")->max, "1000000");
  EXPECT_STREQ(context.store.lookup("Bin Density")->def, "29");
  EXPECT_STREQ(context.store.lookup("Sample Interval")->min, "0.001");
  EXPECT_STREQ(context.store.lookup("Duration Type")->choices, "Points\nSeconds\nMinutes\nHours\nDays");
}

TEST(Context, RestoreDefaultsKeepsEntriesThatCameFromElsewhere) {
  ACQ_CONTEXT context;
  ASSERT_TRUE(context.store.put("Address", "17"));
  ASSERT_TRUE(context.store.put("Sample Interval", "0.5"));
  static char extra[1024];
  ASSERT_NE(context.store.addstr("Driver", extra, "from the host", 0, 0), nullptr);
  EXPECT_EQ(context.params->sample_interval.value, 0.5);

  context.delete_store();
  EXPECT_EQ(context.params, nullptr);
  EXPECT_EQ(context.store.count(), 1);
  ASSERT_TRUE(context.create_store());
  EXPECT_STREQ(context.store.lookup("Address")->str(), "3");
  EXPECT_STREQ(context.store.lookup("Sample Interval")->str(), "1.0");
  EXPECT_EQ(context.params->sample_interval.value, 1.0);
  ASSERT_NE(context.store.lookup("Driver"), nullptr);
  EXPECT_STREQ(context.store.lookup("Driver")->str(), "from the host");
  EXPECT_EQ(context.store.count(), 18);
}

TEST(Context, CreatedAndDestroyedLinesNameTheSameAddress) {
  FILE* capture = std::tmpfile();
  ASSERT_NE(capture, nullptr);
  std::fflush(stdout);
  int saved = dup(fileno(stdout));
  dup2(fileno(capture), fileno(stdout));
  uintptr_t address;
  {
    ACQ_CONTEXT context;
    address = reinterpret_cast<uintptr_t>(&context);
  }
  std::fflush(stdout);
  dup2(saved, fileno(stdout));
  close(saved);
  char expected[128];
  std::snprintf(expected, sizeof expected, "Acq context %lX created\nAcq context %lX destroyed\n",
                static_cast<unsigned long>(address), static_cast<unsigned long>(address));
  EXPECT_EQ(read_all(capture), expected);
  std::fclose(capture);
}

TEST(Context, InstrumentIdReachesEntryMemberAndHost) {
  g_host.OV_update_acquisition_parameters = record_update;
  ACQ_CONTEXT context;
  context.acquisition = 42;
  update_calls = 0;
  update_answer = false;
  EXPECT_FALSE(context.set_instrument_id("PICOTEST,U6220A,0,1.0"));
  EXPECT_EQ(update_calls, 1);
  EXPECT_EQ(updated_store, &context.store);
  EXPECT_STREQ(context.store.lookup("Instrument")->str(), "PICOTEST,U6220A,0,1.0");
  EXPECT_STREQ(context.params->instrument.value.text, "PICOTEST,U6220A,0,1.0");
  update_answer = true;
  EXPECT_TRUE(context.set_instrument_id("ARRAY X"));
}

TEST(ParameterKeys, TableHasTheHostsVocabularyAndDescribesTheDriversKeys) {
  EXPECT_STREQ(ACQ_PARAM_KEYS[0].key, "Property Page");
  EXPECT_STREQ(ACQ_PARAM_KEYS[ACQ_PARAM_KEY_COUNT - 1].key, "Output Decimation");
  int described = 0;
  for (const ACQ_PARAM_KEY& k : ACQ_PARAM_KEYS) described += k.description[0] != 0;
  EXPECT_EQ(described, 17);
  for (const ROW& row : kInitial) {
    bool found = false;
    for (const ACQ_PARAM_KEY& k : ACQ_PARAM_KEYS)
      if (!std::strcmp(k.key, row.key)) found = k.description[0] != 0;
    EXPECT_TRUE(found) << row.key;
  }
  EXPECT_STREQ(ACQ_PARAM_KEYS[KEY_QUERY_INSTRUMENT_ID].description,
               "True if Orvane should request the instrument's ID string");
}
