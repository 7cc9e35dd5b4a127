// Entries shown in dialog controls and read back with validation.
#include <string>

#include "kv_fixture.h"

namespace {

class KvDialog : public KvTest {
 protected:
  void SetUp() override {
    KvTest::SetUp();
    p.bind(store);
    // The dialog has every control but the Instrument's (1018).
    d.add({1000, 1003, 1023, 1007, 1005, 1029, 1012});
  }
  // Every value text, to show that a refused dialog changed nothing.
  static std::vector<std::string> values_of(KVSTORE<KVDLGFIELD>& s) {
    std::vector<std::string> v;
    for (int i = 0; i < s.count(); ++i) v.push_back(s.at(i)->str());
    return v;
  }

  KVBASE store;
  DRIVER_LIKE p;
  MEMSURFACE d;
};

TEST_F(KvDialog, RangeCheckNamesTheViolatedLimit) {
  const struct {
    KVDLGFIELD* DRIVER_LIKE::*entry;
    const char* text;
    const char* limit;  // "min", "max", "def" or null
  } cases[] = {
      {&DRIVER_LIKE::e_sample, "", "def"},         {&DRIVER_LIKE::e_sample, "0.001", nullptr},
      {&DRIVER_LIKE::e_sample, "0.0009", "min"},   {&DRIVER_LIKE::e_sample, "1000", nullptr},
      {&DRIVER_LIKE::e_sample, "1000.001", "max"}, {&DRIVER_LIKE::e_sample, "1/10", nullptr},
      {&DRIVER_LIKE::e_sample, "abc", "min"},      {&DRIVER_LIKE::e_sample, "1e999", "max"},
      {&DRIVER_LIKE::e_sample, "1e999/1e999", "min"},
      {&DRIVER_LIKE::e_bins, "100", nullptr},      {&DRIVER_LIKE::e_bins, "100.005", nullptr},
      {&DRIVER_LIKE::e_bins, "101", "max"},        {&DRIVER_LIKE::e_bins, "0", "min"},
      {&DRIVER_LIKE::e_bins, "0.995", nullptr},    {&DRIVER_LIKE::e_trace, "anything", nullptr},
      {&DRIVER_LIKE::e_type, "7", nullptr},
  };
  for (const auto& c : cases) {
    KVDLGFIELD* e = p.*c.entry;
    const char* got = e->range_check(c.text);
    const char* want = !c.limit ? nullptr : std::string(c.limit) == "min" ? e->min : std::string(c.limit) == "max" ? e->max : e->def;
    EXPECT_EQ(got, want) << e->key << " '" << c.text << "'";
  }
  store.put("Sample Interval", "5000");
  EXPECT_EQ(p.e_sample->range_check(), p.e_sample->max);
  store.put("Sample Interval", "");
  EXPECT_EQ(p.e_sample->range_check(), p.e_sample->def);
}

TEST_F(KvDialog, ToDialogShowsClampedValuesInTheirControls) {
  store.put("Sample Interval", "5000");
  store.put("Input Freq", "");
  store.put("Bin Density", "0");
  store.put("Query Instrument ID", "False");
  store.put("Instrument", "not shown");
  store.put("Interface", "COM1");
  store.to_dialog(&d, true);

  EXPECT_EQ(d[1003].text, "1000");
  EXPECT_STREQ(p.e_sample->str(), "1000");
  EXPECT_EQ(p.sample_interval, 1000.0);
  EXPECT_EQ(d[1007].text, "10E6");
  EXPECT_EQ(p.input_freq, 1e7);
  EXPECT_EQ(d[1005].text, "1");
  EXPECT_EQ(p.bin_density, 1);
  EXPECT_EQ(d[1000].text, "");
  EXPECT_FALSE(d[1029].checked);
  EXPECT_EQ(d[1023].items, (std::vector<std::string>{"Time Interval", "Frequency"}));
  EXPECT_EQ(d[1023].selection, 0);
  EXPECT_EQ(d[1012].items.size(), 5u);
  EXPECT_EQ(d[1012].selection, 3) << "Hours";
  EXPECT_STREQ(p.e_instrument->str(), "not shown");
  EXPECT_TRUE(boxes().empty());
}

TEST_F(KvDialog, EnablingFollowsTheEntriesOnlyWhenAsked) {
  p.e_freq->enabled = 0;
  d[1005].enabled = false;
  store.to_dialog(&d, false);
  EXPECT_TRUE(d[1007].enabled);
  EXPECT_FALSE(d[1005].enabled);
  store.to_dialog(&d, true);
  EXPECT_FALSE(d[1007].enabled);
  EXPECT_TRUE(d[1005].enabled);
}

TEST_F(KvDialog, ComboChoicesAreCutAtRunsOfLineFeeds) {
  const struct {
    std::string choices;
    std::vector<std::string> items;
  } cases[] = {
      {"\nA\n\nB\n", {"", "A", "B"}},
      {"", {}},
      {"A", {"A"}},
      {"\n", {""}},
      {std::string(600, 'x') + "\ny", {std::string(511, 'x'), "y"}},
  };
  for (const auto& c : cases) {
    snprintf(p.e_type->choices, sizeof p.e_type->choices, "%s", c.choices.c_str());
    store.to_dialog(&d, false);
    EXPECT_EQ(d[1023].items, c.items) << c.choices;
  }
  // A choice list that fills the member without a terminator stays inside it.
  memset(p.e_type->choices, 'c', sizeof p.e_type->choices);
  store.to_dialog(&d, false);
  EXPECT_EQ(d[1023].items, std::vector<std::string>{std::string(511, 'c')});
}

TEST_F(KvDialog, FromDialogStoresEveryBoundControl) {
  store.to_dialog(&d, true);
  d[1000].text = "my trace";
  d[1003].text = "1/10";
  d[1005].text = "+7";
  d[1029].checked = true;
  d[1023].selection = 1;
  d[1012].selection = -1;
  ASSERT_TRUE(store.from_dialog(&d));
  EXPECT_STREQ(p.trace, "my trace");
  EXPECT_STREQ(p.e_sample->str(), "1/10");
  EXPECT_DOUBLE_EQ(p.sample_interval, 0.1);
  EXPECT_STREQ(p.e_bins->str(), "7");
  EXPECT_EQ(p.bin_density, 7);
  EXPECT_STREQ(p.e_query->str(), "True");
  EXPECT_EQ(p.query_id, 1);
  EXPECT_STREQ(p.e_type->str(), "1");
  EXPECT_STREQ(p.e_duration->str(), "-1");
  EXPECT_EQ(p.duration_type, -1);
  EXPECT_TRUE(boxes().empty());

  // A two-state button is a check box by another name.
  p.e_query->ctrl_type = CTRL_BUTTON;
  d[1029].checked = false;
  ASSERT_TRUE(store.from_dialog(&d));
  EXPECT_STREQ(p.e_query->str(), "False");

  // Texts are read back to 511 characters at most.
  d[1000].text = std::string(700, 'w');
  ASSERT_TRUE(store.from_dialog(&d));
  EXPECT_EQ(std::string(p.trace), std::string(511, 'w'));
}

TEST_F(KvDialog, EntriesWithoutControlOrDisabledAreNotReadBack) {
  p.e_trace->ctrl_type = 9;  // no kind of control: not shown
  store.put("Trace", "hidden");
  store.to_dialog(&d, true);
  EXPECT_EQ(d[1000].text, "");
  p.e_bins->enabled = 0;
  d[1005].text = "garbage!";
  ASSERT_TRUE(store.from_dialog(&d)) << "a disabled entry is not even validated";
  EXPECT_STREQ(p.e_bins->str(), "29");
  EXPECT_STREQ(p.e_interface->str(), "");
  EXPECT_STREQ(p.e_instrument->str(), "Picotest/Array U6200A series");
}

TEST_F(KvDialog, BadFieldsAreReportedOneAtATimeAndChangeNothing) {
  const struct {
    int id;
    const char* text;
    bool keep_default;
    const char* message;
  } cases[] = {
      {1003, "5000", true, "Sample Interval out of range (5000): enter a value from 0.001 to 1000 (default = 1.0)"},
      {1003, "5000", false, "Sample Interval out of range (5000): enter a value from 0.001 to 1000"},
      {1003, "", true, "Sample Interval invalid: enter a value from 0.001 to 1000 (default = 1.0)"},
      {1003, "", false, "Sample Interval invalid: enter a value from 0.001 to 1000"},
      {1003, "abc", true, "Sample Interval out of range (abc): enter a value from 0.001 to 1000 (default = 1.0)"},
      {1005, "5.5", true, "Bin Density must be an integer value from 1 to 100 (default = 29)"},
      {1005, "5.5", false, "Bin Density must be an integer value from 1 to 100"},
      {1005, "12.0", true, "Bin Density must be an integer value from 1 to 100 (default = 29)"},
      {1005, "101", true, "Bin Density out of range (101): enter a value from 1 to 100 (default = 29)"},
      {1005, "0", true, "Bin Density out of range (0): enter a value from 1 to 100 (default = 29)"},
      {1005, "-5", false, "Bin Density out of range (-5): enter a value from 1 to 100"},
      {1005, "99999999999", true, "Bin Density out of range (99999999999): enter a value from 1 to 100 (default = 29)"},
      {1005, "", true, "Bin Density invalid: enter a value from 1 to 100 (default = 29)"},
  };
  for (const auto& c : cases) {
    KVBASE s;
    DRIVER_LIKE q;
    q.bind(s);
    MEMSURFACE m;
    m.add({1000, 1003, 1023, 1007, 1005, 1029, 1012});
    s.to_dialog(&m, true);
    if (!c.keep_default) {
      q.e_sample->def[0] = 0;
      q.e_bins->def[0] = 0;
    }
    m[1000].text = "changed";
    m[c.id].text = c.text;
    std::vector<std::string> before = values_of(s);
    clear_boxes();
    EXPECT_FALSE(s.from_dialog(&m)) << c.text;
    ASSERT_EQ(boxes().size(), 1u) << c.text;
    EXPECT_EQ(boxes()[0].text, c.message);
    EXPECT_EQ(boxes()[0].caption, "Error");
    EXPECT_EQ(m.focus, c.id);
    EXPECT_EQ(values_of(s), before);
  }
}

TEST_F(KvDialog, IntegerFieldsTakeSignsAnywhereAndRound) {
  store.to_dialog(&d, true);
  const struct {
    const char* text;
    const char* stored;
  } cases[] = {{"1-2", "1"}, {"+100", "100"}, {"0100", "100"}, {"-+1", nullptr}, {"1", "1"}};
  for (const auto& c : cases) {
    clear_boxes();
    d[1005].text = c.text;
    bool ok = store.from_dialog(&d);
    EXPECT_EQ(ok, c.stored != nullptr) << c.text;
    if (c.stored) {
      EXPECT_STREQ(p.e_bins->str(), c.stored) << c.text;
    }
  }
}

TEST_F(KvDialog, FirstBadFieldInListOrderWins) {
  store.to_dialog(&d, true);
  d[1005].text = "500";
  d[1003].text = "0";
  EXPECT_FALSE(store.from_dialog(&d));
  ASSERT_EQ(boxes().size(), 1u);
  EXPECT_EQ(d.focus, 1003);
}

TEST_F(KvDialog, EmptyDisabledFieldIsStoredEmptyAndShownAsDefaultAgain) {
  store.to_dialog(&d, true);
  d[1007].text = "";
  d[1007].enabled = false;
  ASSERT_TRUE(store.from_dialog(&d));
  EXPECT_STREQ(p.e_freq->str(), "");
  store.to_dialog(&d, false);
  EXPECT_EQ(d[1007].text, "10E6");
  EXPECT_STREQ(p.e_freq->str(), "10E6");
  // An empty integer field stays empty too, and so comes back as its
  // default rather than as a clamped zero.
  d[1005].text = "";
  d[1005].enabled = false;
  ASSERT_TRUE(store.from_dialog(&d));
  EXPECT_STREQ(p.e_bins->str(), "");
  store.to_dialog(&d, false);
  EXPECT_EQ(d[1005].text, "29");
  // A numeric field without limits may stay empty even when enabled.
  p.e_sample->min[0] = 0;
  d[1003].text = "";
  EXPECT_TRUE(store.from_dialog(&d));
}

TEST_F(KvDialog, StoringStopsAtTheFirstRefusedEntry) {
  store.to_dialog(&d, true);
  p.e_query->flags |= KVF_READONLY;
  d[1005].text = "50";
  d[1029].checked = false;
  d[1012].selection = 0;
  EXPECT_FALSE(store.from_dialog(&d));
  EXPECT_EQ(last_box(), "KVAL error: can't update read-only value Query Instrument ID");
  EXPECT_EQ(p.bin_density, 50) << "stored before the refusal";
  EXPECT_EQ(p.duration_type, 3) << "after it, nothing";
}

TEST_F(KvDialog, AFailedControlWriteStopsAtTheAssertion) {
  d.refuse_text = true;
  EXPECT_DEATH(store.to_dialog(&d, true), "SetDlgItemText\\(hDlg, E->ctrl_ID, E->str\\(\\)\\).*appfile");
}

}  // namespace
