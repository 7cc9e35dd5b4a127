// The setup dialog on the headless surface, in virtual time: what it shows
// when it opens, the help panel, the interface list, the commands and their
// messages, centring, and the runs a host without a window system asks for.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>

#include "dialog_fixture.h"
#include "drivers/shared/gpibport/gpibport.h"
#include "sim/sim.h"

namespace {

const char kCaptionHelp[] =
    "Specifies an optional caption for this trace.\n\nTo display trace captions beneath the graph in the main window, "
    "select the Legend -> Trace menu option.\n\nYou can specify a different caption at any time using Edit -> Trace "
    "properties.";

// A pseudo-terminal whose far end nobody answers: an FTDI port without an
// adapter behind it.
struct SILENT_PTY {
  int master = -1;
  std::string slave;
  SILENT_PTY() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) slave = ptsname(master);
  }
  ~SILENT_PTY() {
    if (master >= 0) close(master);
  }
};

}  // namespace

TEST_F(DialogTest, OpensWithParametersCaptionFocusAndTimers) {
  add_com_port(3, "ttyUSB0", "USB-Serial Controller", false);
  open_dialog();
  EXPECT_EQ(text(DLG_SELF), "Acquire phase or frequency data from Picotest/Array U6200A series");
  EXPECT_EQ(text(IDC_SAMPLE_INTERVAL), "1.0");
  EXPECT_EQ(text(IDC_INPUT_FREQ), "10E6");
  EXPECT_EQ(text(IDC_ADDRESS), "3");
  EXPECT_EQ(surface->get_selection(IDC_DATA_TYPE), 0);
  EXPECT_EQ(surface->get_selection(IDC_DURATION_TYPE), 3);
  EXPECT_FALSE(surface->get_check(IDC_PROLOGIX));
  EXPECT_TRUE(surface->get_check(IDC_IDENTIFY));
  EXPECT_FALSE(surface->is_enabled(IDC_INCOMING));
  EXPECT_FALSE(surface->is_enabled(IDC_ID_LABEL));
  EXPECT_EQ(surface->get_focus(), IDC_CAPTION);
  EXPECT_TRUE(surface->timer_active(DLG_TIMER_CONTROLS));
  EXPECT_TRUE(surface->timer_active(DLG_TIMER_MONITOR));
  EXPECT_NE(context->port, nullptr);
  EXPECT_EQ(context->dialog_window, surface.get());
  EXPECT_EQ(surface->item_count(IDC_INTERFACE_LIST), 1);
  EXPECT_EQ(text(IDC_INTERFACE_STATUS), "Choose an interface from the list above");

  // The help box keeps its template texts until the first tick of timer 1.
  step(90);
  EXPECT_EQ(text(IDC_HELP_GROUP), "Static");
  EXPECT_EQ(text(IDC_HELP_TEXT), "Static help text goes here");
  step(10);
  EXPECT_EQ(text(IDC_HELP_GROUP), "Caption");
  EXPECT_EQ(text(IDC_HELP_TEXT), kCaptionHelp);
}

TEST_F(DialogTest, EveryBoundParameterHasItsControlExceptInstrumentAndInterface) {
  for (int i = 0; i < context->store.count(); i++) {
    KVDLGFIELD* e = context->store.at(i);
    bool shown = e->ctrl_ID != 0 && find_template_control(&SETUP_TEMPLATE, e->ctrl_ID) != nullptr;
    bool hidden = std::strcmp(e->key, "Instrument") == 0 || std::strcmp(e->key, "Interface") == 0;
    EXPECT_EQ(shown, !hidden) << e->key;
  }
}

TEST_F(DialogTest, HelpTextsAreTheSystemsOwn) {
  struct CASE {
    int id;
    const char* caption;
    const char* text;  // null: only the caption is checked
  } cases[] = {
      {IDC_START, "Start Measurement",
       "Press this button to accept the current measurement parameters and begin acquisition.\n"},
      {IDC_NOTES, "Additional Notes",
       "Specifies optional additional notes for this trace.  Examples might include the environmental conditions, "
       "reference source or other factors affecting the measurement.\n\nTo display trace notes beneath the graph in "
       "the main window, select the Legend -> Notes menu option.\n\nYou can revise your notes at any time using Edit "
       "-> Trace properties.\n\nUp to 1023 characters may be entered in this field."},
      {IDC_ADDRESS, "Instrument Address",
       "Specifies the Picotest/Array U6200A series's GPIB address as a decimal value.  This field must match the "
       "talk/listen address for which the \nPicotest/Array U6200A series is configured, and the instrument must be in "
       "addressable (not talk-only) mode.\n\nThe GPIB address field is not used for direct RS-232 serial "
       "connections.  (Note that HP 531xxA counters connected via a null-modem cable must use \"Acquire->Acquire "
       "from counter in talk-only mode\" instead.)"},
      {IDC_IDENTIFY, "Automatically query instrument ID",
       "Uncheck this option if you encounter difficulty with an unsupported counter that's compatible with the "
       "Picotest/Array U6200A series.\nThis will prevent Orvane from attempting to identify the counter model "
       "automatically."},
      {IDC_REFRESH, "Available Interfaces", nullptr},
      {IDC_INTERFACE_LIST, "Available Interfaces", nullptr},
      {IDC_MONITOR, "Incoming Data", nullptr},
      {IDC_INCOMING, "Incoming Data", nullptr},
      {IDC_DURATION, "Measurement Duration", nullptr},
      {IDC_DURATION_TYPE, "Measurement Duration", nullptr},
      {IDC_PROLOGIX, "Enable Prologix GPIB-USB Support", nullptr},
      {IDC_CANCEL, "Cancel", nullptr},
      {IDC_RESTORE, "Restore Defaults", nullptr},
      {IDC_DATA_TYPE, "Data Type", nullptr},
      {IDC_STOP_CONDITION, "Run Until", nullptr},
      {IDC_TRACE_HISTORY, "Trace History", nullptr},
      {IDC_INPUT_FREQ, "Input Frequency", nullptr},
      {IDC_BIN_THRESHOLD, "Bin Threshold", nullptr},
      {IDC_BIN_DENSITY, "Bin Density", nullptr},
      {IDC_SCALE_FACTOR, "Scale Factor", nullptr},
      {IDC_SAMPLE_INTERVAL, "Sampling Interval", nullptr},
      {IDC_CAPTION, "Caption", kCaptionHelp},
  };
  HEADLESS_SURFACE s;
  for (const CASE& c : cases) {
    s.set_text(IDC_HELP_TEXT, "");
    show_control_help(nullptr, &s, c.id);
    EXPECT_EQ(std::string(s.text(IDC_HELP_GROUP)), c.caption) << c.id;
    if (c.text) {
      EXPECT_EQ(std::string(s.text(IDC_HELP_TEXT)), c.text) << c.id;
    }
    EXPECT_NE(std::string(s.text(IDC_HELP_TEXT)), "") << c.id;
  }
  // Labels, group boxes, the help box and the status labels have no help.
  for (int id : std::initializer_list<int>{IDC_INTERFACE_STATUS, IDC_ID_LABEL, IDC_HELP_GROUP, IDC_HELP_TEXT, IDC_INTERFACE_GROUP,
                 IDC_INCOMING_GROUP, -1, DLG_SELF}) {
    s.set_text(IDC_HELP_GROUP, "unchanged");
    show_control_help(nullptr, &s, id);
    EXPECT_EQ(std::string(s.text(IDC_HELP_GROUP)), "unchanged") << id;
  }
}

TEST_F(DialogTest, HelpFollowsFocusAtOnceAndPointerAfterHalfASecond) {
  open_dialog();
  step(100);
  ASSERT_EQ(text(IDC_HELP_GROUP), "Caption");

  // Tabbing changes the help on the next tick even with the pointer resting
  // on another control.
  surface->point_at(IDC_BIN_DENSITY);
  step(100);
  surface->tab();
  step(100);
  EXPECT_EQ(text(IDC_HELP_GROUP), "Additional Notes");
  // Resting there, unmoved, the pointer never takes the help back.
  step(2000);
  EXPECT_EQ(text(IDC_HELP_GROUP), "Additional Notes");

  // Moved onto Refresh it shows that help on the fifth or sixth tick.
  surface->point_at(IDC_REFRESH);
  step(400);
  EXPECT_EQ(text(IDC_HELP_GROUP), "Additional Notes");
  step(200);
  EXPECT_EQ(text(IDC_HELP_GROUP), "Available Interfaces");

  // A label has no help of its own; the help stays.
  DLG_RECT w = surface->window_rect();
  surface->move_pointer(DLG_POINT{w.left + 20, w.top + 17});  // the "Caption" label
  step(1000);
  EXPECT_EQ(text(IDC_HELP_GROUP), "Available Interfaces");

  // With another application in front nothing changes.
  surface->set_foreground(false);
  surface->tab();
  surface->point_at(IDC_SCALE_FACTOR);
  step(1000);
  EXPECT_EQ(text(IDC_HELP_GROUP), "Available Interfaces");
  surface->set_foreground(true);
  step(100);
  EXPECT_EQ(text(IDC_HELP_GROUP), "Sampling Interval");
}

TEST(CenterWindow, CentresOverTheParentAndStaysOnTheVirtualScreen) {
  struct CASE {
    DLG_RECT parent;
    bool has_parent;
    int x, y;
  } cases[] = {
      {{100, 100, 1100, 900}, true, 344, 311},    // (1000 - 512) / 2, (800 - 377) / 2
      {{0, 0, 0, 0}, false, 704, 351},            // the primary screen, 1920 x 1080
      {{-900, -300, -100, 300}, true, 0, 0},      // off the left and top edges
      {{1800, 900, 2400, 1300}, true, 1407, 702}, // off the right and bottom edges
  };
  for (const CASE& c : cases) {
    HEADLESS_SURFACE s;
    s.set_parent(c.has_parent ? &c.parent : nullptr);
    EXPECT_TRUE(center_window(&s, true));
    DLG_RECT r = s.window_rect();
    EXPECT_EQ(r.left, c.x) << c.parent.left;
    EXPECT_EQ(r.top, c.y) << c.parent.left;
    EXPECT_EQ(r.right - r.left, 512);
  }
}

TEST_F(DialogTest, StartMeasurementNeedsASelectedInterface) {
  open_dialog();
  EXPECT_EQ(text(IDC_INTERFACE_STATUS), "No supported interfaces found!");
  EXPECT_EQ(surface->item_count(IDC_INTERFACE_LIST), 0);
  surface->click(IDC_START);
  EXPECT_FALSE(surface->ended());
  ASSERT_EQ(host_record().boxes.size(), 1u);
  EXPECT_EQ(host_record().boxes[0], "Error|Select a valid interface first");
}

TEST_F(DialogTest, EnterAcceptsAndStoresTheFields) {
  add_com_port(3, "ttyUSB0", "USB-Serial Controller", false);
  open_dialog();
  ASSERT_TRUE(surface->choose_item(IDC_INTERFACE_LIST, 0));
  surface->type_text(IDC_CAPTION, "Night run");
  surface->type_text(IDC_BIN_DENSITY, "+10");
  step(100);
  surface->press_enter();
  ASSERT_TRUE(surface->ended());
  EXPECT_EQ(surface->result(), 1);
  EXPECT_EQ(value("Trace"), "Night run");
  EXPECT_EQ(value("Bin Density"), "10");
  EXPECT_FALSE(surface->timer_active(DLG_TIMER_CONTROLS));
  EXPECT_FALSE(surface->timer_active(DLG_TIMER_MONITOR));
  EXPECT_EQ(context->port, nullptr);
  EXPECT_EQ(context->dialog_window, nullptr);
  EXPECT_TRUE(host_record().boxes.empty());
}

TEST_F(DialogTest, ValidationMessagesKeepTheDialogOpen) {
  struct CASE {
    int id;
    const char* typed;
    const char* message;
  } cases[] = {
      {IDC_SAMPLE_INTERVAL, "5000",
       "Sample Interval out of range (5000): enter a value from 0.001 to 1000 (default = 1.0)"},
      {IDC_SAMPLE_INTERVAL, "", "Sample Interval invalid: enter a value from 0.001 to 1000 (default = 1.0)"},
      {IDC_BIN_DENSITY, "5.5", "Bin Density must be an integer value from 1 to 100 (default = 29)"},
      {IDC_BIN_DENSITY, "101", "Bin Density out of range (101): enter a value from 1 to 100 (default = 29)"},
  };
  add_com_port(3, "ttyUSB0", "USB-Serial Controller", false);
  open_dialog();
  ASSERT_TRUE(surface->choose_item(IDC_INTERFACE_LIST, 0));
  for (const CASE& c : cases) {
    host_record().clear();
    surface->type_text(c.id, c.typed);
    surface->click(IDC_START);
    ASSERT_FALSE(surface->ended()) << c.typed;
    ASSERT_EQ(host_record().boxes.size(), 1u) << c.typed;
    EXPECT_EQ(host_record().boxes[0], std::string("Error|") + c.message);
    EXPECT_EQ(surface->get_focus(), c.id);
    surface->type_text(c.id, c.id == IDC_BIN_DENSITY ? "29" : "1.0");
  }
  EXPECT_EQ(value("Sample Interval"), "1.0");
}

TEST_F(DialogTest, CancelAndEscapeLeaveTheParametersAlone) {
  for (bool escape : {false, true}) {
    open_dialog();
    surface->type_text(IDC_CAPTION, "discarded");
    if (escape) {
      surface->press_escape();
    } else {
      surface->click(IDC_CANCEL);
    }
    ASSERT_TRUE(surface->ended());
    EXPECT_EQ(surface->result(), 0);
    EXPECT_EQ(value("Trace"), "");
    EXPECT_EQ(context->port, nullptr);
    surface = std::make_unique<HEADLESS_SURFACE>();
  }
}

TEST_F(DialogTest, UntickedPrologixMakesEveryComPortStandard) {
  SILENT_PTY pty;
  ASSERT_FALSE(pty.slave.empty());
  add_com_device(14, pty.slave, true);
  add_com_port(3, "ttyUSB0", "USB-Serial Controller", false);
  set_value("Interface", "COM9");
  open_dialog();
  ASSERT_EQ(surface->item_count(IDC_INTERFACE_LIST), 2);
  for (const char* name : {"COM14", "COM3"}) {
    ASSERT_TRUE(surface->choose_item(IDC_INTERFACE_LIST, list_index(name)));
    EXPECT_EQ(text(IDC_INTERFACE_STATUS), "Standard COM port") << name;
    EXPECT_EQ(value("Interface"), "") << name;
    EXPECT_EQ(selected_text().substr(0, std::strlen(name) + 1), std::string(name) + " ");
  }

  // The monitor refuses the empty Interface and is idle again on the next tick.
  surface->click(IDC_MONITOR);
  EXPECT_EQ(text(IDC_MONITOR), "Disconnect");
  ASSERT_TRUE(host_record().wait_failure("Invalid address or port selection", std::chrono::seconds(5)));
  ASSERT_TRUE(pump_until([&] { return text(IDC_MONITOR) == "Monitor"; }, 2000));
  EXPECT_EQ(context->monitor_thread_handle, nullptr);
}

TEST_F(DialogTest, TickedPrologixProbesOnlyFtdiPortsAndSortedItemsMapToTheirEntries) {
  SILENT_PTY pty;
  ASSERT_FALSE(pty.slave.empty());
  // COM12 sorts before COM3 in the list but comes after it in enumeration.
  add_com_device(12, pty.slave, true);
  add_com_port(3, "ttyUSB0", "USB-Serial Controller", false);
  open_dialog();
  surface->click(IDC_PROLOGIX);
  ASSERT_EQ(surface->item_count(IDC_INTERFACE_LIST), 2);
  char first[512];
  surface->item_text(IDC_INTERFACE_LIST, 0, first, sizeof first);
  ASSERT_EQ(std::string(first).substr(0, 5), "COM12");

  ASSERT_TRUE(surface->choose_item(IDC_INTERFACE_LIST, list_index("COM3")));
  EXPECT_EQ(text(IDC_INTERFACE_STATUS), "Standard COM port");

  // Nothing answers on the FTDI port: its failure text, an empty Interface,
  // and the item stays selected.
  set_value("Interface", "stale");
  ASSERT_TRUE(surface->choose_item(IDC_INTERFACE_LIST, list_index("COM12")));
  EXPECT_EQ(text(IDC_INTERFACE_STATUS), "(No response from device)");
  EXPECT_EQ(value("Interface"), "");
  EXPECT_EQ(surface->get_selection(IDC_INTERFACE_LIST), 0);
}

TEST_F(DialogTest, StoredInterfacePreselectsItsEntry) {
  struct CASE {
    const char* stored;
    const char* selected;  // null: nothing selected
    const char* status;
    const char* interface_after;
  } cases[] = {
      {"COM3:baud=9600 parity=N data=8 stop=1", "COM3", "Standard COM port", ""},
      {"com5", "COM5", "Standard COM port", ""},
      {"COM7", nullptr, "Choose an interface from the list above", "COM7"},
      {"GPIB0", nullptr, "Choose an interface from the list above", "GPIB0"},
  };
  add_com_port(3, "ttyUSB0", "USB-Serial Controller", false);
  add_com_port(5, "ttyUSB1", "USB-Serial Controller", false);
  for (const CASE& c : cases) {
    set_value("Interface", c.stored);
    surface = std::make_unique<HEADLESS_SURFACE>();
    open_dialog();
    if (c.selected) {
      EXPECT_EQ(selected_text().substr(0, 4), c.selected) << c.stored;
    } else {
      EXPECT_EQ(surface->get_selection(IDC_INTERFACE_LIST), -1) << c.stored;
    }
    EXPECT_EQ(text(IDC_INTERFACE_STATUS), c.status) << c.stored;
    EXPECT_EQ(value("Interface"), c.interface_after) << c.stored;
    surface->press_escape();
  }
}

TEST_F(DialogTest, LanAdapterShowsItsVersionAndMac) {
  // A Prologix GPIB-ETHERNET adapter on its own port of this namespace's
  // loopback.
  std::string why;
  auto adapter = u62sim::start_prologix_lan({}, 10, PROLOGIX_TCP_PORT, &why);
  ASSERT_TRUE(adapter) << why;
  open_dialog();
  INTERFACE_ENTRY lan{};
  std::snprintf(lan.display_text, sizeof lan.display_text, "Prologix GPIB-ETHERNET (127.0.0.1)");
  std::snprintf(lan.descriptor, sizeof lan.descriptor, "127.0.0.1");
  lan.kind = IFACE_PROLOGIX_LAN;
  const uint8_t mac[6] = {0x01, 0x02, 0x03, 0x0A, 0x0B, 0x0C};
  std::memcpy(lan.mac_address, mac, 6);
  context->interfaces[0] = lan;
  context->interface_count = 1;
  surface->add_item(IDC_INTERFACE_LIST, lan.display_text);
  ASSERT_TRUE(surface->choose_item(IDC_INTERFACE_LIST, 0));
  EXPECT_EQ(text(IDC_INTERFACE_STATUS),
            "Prologix GPIB-ETHERNET Controller version 01.06.06.00 (MAC 01-02-03-0A-0B-0C)");
  EXPECT_EQ(value("Interface"), "127.0.0.1");

  // Without an adapter the probe's failure text is shown and the Interface
  // is emptied.
  adapter.reset();
  ASSERT_TRUE(surface->choose_item(IDC_INTERFACE_LIST, 0));
  EXPECT_EQ(text(IDC_INTERFACE_STATUS).find("(MAC"), std::string::npos);
  EXPECT_NE(text(IDC_INTERFACE_STATUS), "");
  EXPECT_EQ(value("Interface"), "");
}

TEST_F(DialogTest, FrequencyModeEmptiesInputFrequencyAndTimeIntervalRestoresTheStoredText) {
  open_dialog();
  surface->type_text(IDC_INPUT_FREQ, "5E6");
  ASSERT_TRUE(surface->choose_item(IDC_DATA_TYPE, 1));
  step(100);
  EXPECT_EQ(text(IDC_INPUT_FREQ), "");
  EXPECT_FALSE(surface->is_enabled(IDC_INPUT_FREQ));
  ASSERT_TRUE(surface->choose_item(IDC_DATA_TYPE, 0));
  step(100);
  EXPECT_EQ(text(IDC_INPUT_FREQ), "10E6");
  EXPECT_TRUE(surface->is_enabled(IDC_INPUT_FREQ));
}

TEST_F(DialogTest, RestoreDefaultsResetsFieldsBoxesAndSelection) {
  add_com_port(3, "ttyUSB0", "USB-Serial Controller", false);
  set_value("Interface", "COM8");
  open_dialog();
  surface->type_text(IDC_CAPTION, "typed");
  surface->click(IDC_PROLOGIX);
  surface->click(IDC_IDENTIFY);
  surface->choose_item(IDC_DURATION_TYPE, 1);
  surface->click(IDC_RESTORE);
  EXPECT_EQ(text(IDC_CAPTION), "");
  EXPECT_FALSE(surface->get_check(IDC_PROLOGIX));
  EXPECT_TRUE(surface->get_check(IDC_IDENTIFY));
  EXPECT_EQ(surface->get_selection(IDC_DURATION_TYPE), 3);
  EXPECT_EQ(value("Interface"), "");
  EXPECT_EQ(surface->get_selection(IDC_INTERFACE_LIST), -1);
  EXPECT_EQ(text(IDC_INTERFACE_STATUS), "Choose an interface from the list above");

  // A standard COM port keeps an empty descriptor until the list is
  // rebuilt, so it matches the default, empty Interface again.
  ASSERT_TRUE(surface->choose_item(IDC_INTERFACE_LIST, 0));
  surface->click(IDC_RESTORE);
  EXPECT_EQ(surface->get_selection(IDC_INTERFACE_LIST), 0);
  EXPECT_EQ(text(IDC_INTERFACE_STATUS), "Standard COM port");
  surface->click(IDC_REFRESH);
  EXPECT_EQ(surface->get_selection(IDC_INTERFACE_LIST), -1);
}

// ---- Runs for hosts without a window system ----

namespace {

struct TRACE {
  std::vector<std::string> lines;
  static void add(void* user, const char* text) { static_cast<TRACE*>(user)->lines.push_back(text); }
  bool has(const std::string& text) const {
    for (const std::string& l : lines) {
      if (l == text) return true;
    }
    return false;
  }
};

}  // namespace

TEST_F(DialogTest, AcceptAsLoadedStartsWithAStoredInterfaceOnly) {
  add_com_port(3, "ttyUSB0", "USB-Serial Controller", false);
  EXPECT_EQ(run_setup_dialog(context, nullptr), 0);
  EXPECT_EQ(host_record().boxes.size(), 1u);
  set_value("Interface", "COM3");
  EXPECT_EQ(run_setup_dialog(context, nullptr), 1);
  EXPECT_EQ(context->port, nullptr);
}

TEST_F(DialogTest, ScriptedRunActsLikeAUser) {
  add_com_port(3, "ttyUSB0", "USB-Serial Controller", false);
  TRACE trace;
  SETUP_REQUEST request{SETUP_REQUEST_MAGIC, SETUP_SCRIPT,
                        "set Caption = Night run\n"
                        "select Data Type = Frequency; wait 150\n"
                        "# a comment\n"
                        "choose com3\n"
                        "set Sampling Interval = 1/10\n"
                        "press Start Measurement",
                        TRACE::add, &trace};
  EXPECT_EQ(run_setup_dialog(context, &request), 1);
  EXPECT_EQ(value("Trace"), "Night run");
  EXPECT_EQ(value("Data Type"), "1");
  EXPECT_EQ(value("Sample Interval"), "1/10");
  // The emptied, disabled field is stored empty; the next opening shows the
  // default again.
  EXPECT_EQ(value("Input Freq"), "");
  EXPECT_TRUE(trace.has("Standard COM port"));
  EXPECT_TRUE(trace.has("dialog result 1"));
}

TEST_F(DialogTest, ScriptRunsThatCannotStartAnswerZero) {
  add_com_port(3, "ttyUSB0", "USB-Serial Controller", false);
  struct CASE {
    uint32_t magic;
    int kind;
    const char* script;
  } cases[] = {
      {SETUP_REQUEST_MAGIC, SETUP_SCRIPT, "choose COM3\npress Frobnicate\npress Start Measurement"},
      {SETUP_REQUEST_MAGIC, SETUP_SCRIPT, "choose COM3\nset Sampling Interval = 5000\npress Start Measurement"},
      {SETUP_REQUEST_MAGIC, SETUP_SCRIPT, "choose LPT1\npress Start Measurement"},
      {SETUP_REQUEST_MAGIC, SETUP_CANCEL, nullptr},
      {SETUP_REQUEST_MAGIC, SETUP_TERMINAL, nullptr},
      {0x12345678, SETUP_ACCEPT, nullptr},
  };
  for (const CASE& c : cases) {
    TRACE trace;
    SETUP_REQUEST request{c.magic, c.kind, c.script, TRACE::add, &trace};
    EXPECT_EQ(run_setup_dialog(context, &request), 0) << (c.script ? c.script : "");
    EXPECT_EQ(value("Sample Interval"), "1.0");
  }
}
