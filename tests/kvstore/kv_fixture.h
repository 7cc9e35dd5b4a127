// Shared pieces of the parameter store tests: captured message boxes,
// allocation counting and failure injection, a few driver-like entries, and
// an in-memory dialog surface.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "dialog/surface.h"
#include "kvstore/kvstore.h"
#include "platform/msgbox.h"

// The store allocates with nothrow new; alloc_hook.cpp replaces those
// operators so that tests can count allocations and make them fail.
struct ALLOC_WATCH {
  static void start(long fail_at = -1);  // fail the allocation with this number (0 = the next)
  static void stop();
  static long count();                   // nothrow allocations since start
  static long count_of_size(size_t size);
};

struct BOX {
  std::string caption, text;
};

// Captures this module's message boxes for the life of a test.
class KvTest : public ::testing::Test {
 protected:
  void SetUp() override {
    boxes_.clear();
    previous_ = plat_set_message_box_handler(&KvTest::capture, &boxes_);
  }
  void TearDown() override {
    ALLOC_WATCH::stop();
    plat_set_message_box_handler(previous_, nullptr);
  }
  const std::vector<BOX>& boxes() const { return boxes_; }
  std::string last_box() const { return boxes_.empty() ? std::string() : boxes_.back().text; }
  void clear_boxes() { boxes_.clear(); }

 private:
  static int capture(const char* text, const char* caption, unsigned, void* user) {
    static_cast<std::vector<BOX>*>(user)->push_back({caption, text});
    return PLAT_IDOK;
  }
  std::vector<BOX> boxes_;
  PLAT_MSGBOX_HANDLER previous_ = nullptr;
};

// A handful of entries shaped like the driver's parameters, each bound to a
// member here.
struct DRIVER_LIKE {
  char trace[KV_TEXT_MEMBER_SIZE] = {};
  double sample_interval = 0;
  int32_t data_type = 0;
  double input_freq = 0;
  int32_t bin_density = 29;
  uint8_t query_id = 1;
  char instrument[KV_TEXT_MEMBER_SIZE] = {};
  int32_t duration_type = 3;
  char interface_desc[KV_TEXT_MEMBER_SIZE] = {};

  KVDLGFIELD *e_trace, *e_sample, *e_type, *e_freq, *e_bins, *e_query, *e_instrument, *e_duration, *e_interface;

  static void numeric(KVDLGFIELD* e, int kind, int id, const char* min, const char* max, const char* def) {
    e->ctrl_type = kind;
    e->ctrl_ID = id;
    snprintf(e->label, sizeof e->label, "%s", e->key);
    snprintf(e->min, sizeof e->min, "%s", min);
    snprintf(e->max, sizeof e->max, "%s", max);
    snprintf(e->def, sizeof e->def, "%s", def);
  }
  static void plain(KVDLGFIELD* e, int kind, int id, const char* choices = "") {
    e->ctrl_type = kind;
    e->ctrl_ID = id;
    snprintf(e->label, sizeof e->label, "%s", e->key);
    snprintf(e->choices, sizeof e->choices, "%s", choices);
  }

  void bind(KVSTORE<KVDLGFIELD>& s) {
    e_trace = s.addstr("Trace", trace, nullptr, 0x05000001, 0);
    plain(e_trace, CTRL_TEXT, 1000);
    e_sample = s.adddbl("Sample Interval", &sample_interval, "1.0", 0x32200041, 0);
    numeric(e_sample, CTRL_REAL, 1003, "0.001", "1000", "1.0");
    e_type = s.addnum("Data Type", &data_type, nullptr, 0, 0);
    plain(e_type, CTRL_COMBO, 1023, "Time Interval\nFrequency");
    e_freq = s.adddbl("Input Freq", &input_freq, "10E6", 0x14000081, 0);
    numeric(e_freq, CTRL_REAL, 1007, "1E-6", "2E+8", "10E6");
    e_bins = s.addnum("Bin Density", &bin_density, nullptr, 0x5A000000, 0);
    numeric(e_bins, CTRL_INT, 1005, "1", "100", "29");
    e_query = s.addbool("Query Instrument ID", &query_id, nullptr, 0, 0);
    plain(e_query, CTRL_CHECKBOX, 1029);
    e_instrument = s.addstr("Instrument", instrument, "Picotest/Array U6200A series", 0xE6000001, 0);
    plain(e_instrument, CTRL_TEXT, 1018);
    e_duration = s.addnum("Duration Type", &duration_type, nullptr, 0, 0);
    plain(e_duration, CTRL_COMBO, 1012, "Points\nSeconds\nMinutes\nHours\nDays");
    e_interface = s.addstr("Interface", interface_desc, nullptr, 0, 0);
  }
};

// An in-memory dialog: controls with text, check state, items, selection and
// enabling. Everything a window system would add is inert.
class MEMSURFACE : public DLGSURFACE {
 public:
  struct CONTROL {
    std::string text;
    bool checked = false, enabled = true;
    std::vector<std::string> items;
    int selection = -1;
  };
  std::map<int, CONTROL> controls;
  int focus = DLG_NONE;
  bool refuse_text = false;

  void add(std::initializer_list<int> ids) {
    for (int id : ids) controls[id];
  }
  CONTROL& operator[](int id) { return controls.at(id); }

  void set_user_data(void* data) override { user_ = data; }
  void* user_data() override { return user_; }
  uint32_t tick_ms() override { return 0; }
  int run_modal(PROC, void*) override { return 0; }
  bool has_control(int id) override { return controls.count(id) != 0; }
  bool set_text(int id, const char* text) override {
    if (refuse_text || !has_control(id)) return false;
    controls[id].text = text;
    return true;
  }
  int get_text(int id, char* buf, int size) override {
    std::string t = has_control(id) ? controls[id].text.substr(0, size_t(size - 1)) : std::string();
    memcpy(buf, t.c_str(), t.size() + 1);
    return int(t.size());
  }
  void set_check(int id, bool c) override { controls.at(id).checked = c; }
  bool get_check(int id) override { return controls.at(id).checked; }
  void enable(int id, bool on) override { controls.at(id).enabled = on; }
  bool is_enabled(int id) override { return controls.at(id).enabled; }
  void set_focus(int id) override { focus = id; }
  int get_focus() override { return focus; }
  void reset_items(int id) override {
    controls.at(id).items.clear();
    controls.at(id).selection = -1;
  }
  int add_item(int id, const char* text) override {
    controls.at(id).items.push_back(text);
    return int(controls.at(id).items.size()) - 1;
  }
  int item_count(int id) override { return int(controls.at(id).items.size()); }
  void set_selection(int id, int index) override {
    CONTROL& c = controls.at(id);
    c.selection = (index >= 0 && index < int(c.items.size())) ? index : -1;
  }
  int get_selection(int id) override { return controls.at(id).selection; }
  int find_prefix(int, const char*) override { return -1; }
  void set_caret(int, int) override {}
  void scroll_caret(int) override {}
  void repaint(int) override {}
  void set_timer(int, int) override {}
  void kill_timer(int) override {}
  void end_dialog(int) override {}
  DLG_POINT cursor_pos() override { return {0, 0}; }
  bool is_foreground() override { return true; }
  bool left_button_down() override { return false; }
  int control_at(DLG_POINT) override { return DLG_NONE; }
  intptr_t show_wait_cursor() override { return 0; }
  void restore_cursor(intptr_t) override {}
  DLG_RECT window_rect() override { return {0, 0, 0, 0}; }
  bool parent_rect(DLG_RECT*) override { return false; }
  DLG_RECT screen_rect() override { return {0, 0, 0, 0}; }
  DLG_RECT virtual_screen_rect() override { return {0, 0, 0, 0}; }
  bool move_window(int, int) override { return true; }
  int message_box(const char*, const char*, unsigned) override { return PLAT_IDOK; }

 private:
  void* user_ = nullptr;
};

// The keys of a store in list order, as the ordered walk gives them.
inline std::vector<std::string> keys_of(KVSTORE<KVDLGFIELD>& s) {
  std::vector<std::string> keys;
  for (int i = 0; i < s.count(); ++i) keys.push_back(s.at(i)->key);
  return keys;
}
