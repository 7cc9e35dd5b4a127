#include "dialog/setup_dialog.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <new>

#include "dialog/headless_surface.h"
#include "dialog/monitor_block.h"
#include "dialog/template.h"
#include "driver/context.h"
#include "platform/msgbox.h"
#include "support/diag.h"

namespace {

const char kDialogCaption[] = "Acquire phase or frequency data from Picotest/Array U6200A series";
const int kNotesLimit = 1023;

// Some controls share one help text: the list and its Refresh button, the
// monitor box and its button, the duration and its unit.
struct HELP_TEXT {
  int id;
  int second_id;  // 0 when the text belongs to one control
  const char* caption;
  const char* text;
};

const HELP_TEXT kHelp[] = {
    {1, 0, "Start Measurement",
     "Press this button to accept the current measurement parameters and begin acquisition.\n"},
    {2, 0, "Cancel",
     "Press this button to return to Orvane without acquiring data.  Any changes made to the measurement parameters will be discarded."},
    {1000, 0, "Caption",
     "Specifies an optional caption for this trace.\n\nTo display trace captions beneath the graph in the main window, select the Legend -> Trace menu option.\n\nYou can specify a different caption at any time using Edit -> Trace properties."},
    {1003, 0, "Sampling Interval",
     "Specifies the period in seconds between successive measurements taken by the Picotest/Array U6200A series.  This period is treated as the tau0 basis which defines the leftmost edge of any deviation plots.\n\nFor example, a counter with a 1-pps source applied to its arming or START channel will return measurements at an interval of 1.0 seconds.\n\nThe sampling period also determines the scale used in frequency-difference graphs; e.g., two sources whose phases drift apart by one microsecond per second are considered to differ in frequency by one part in 1E+6.  As with other numeric values, rational fractions and scientific notation are supported.  A sampling rate of 10 Hz could be entered as either 0.1 or 1/10.\n\nIf the Monitor button is pressed, this field will be updated automatically to reflect the rate at which readings are received from the counter."},
    {1004, 0, "Scale Factor",
     "If measurement values from the counter are not given in seconds, the necessary multiplier should be specified here. \n\nAs with other numeric values, rational fractions and scientific notation are supported. Most users should leave this value at its default of 1.0."},
    {1005, 0, "Bin Density",
     "Determines the number and distribution of points which will be calculated during deviation measurements.  \n\nSpecial values include 1 (one tau value per decade), 2 (one per octave), 4 (1-2-4 distribution within each decade), 5 (1-2-5 distribution within each decade), 10 (ten per decade), and the default value of 29 (a clean visual distribution of 29 points including all minor vertical divisions in each decade).\n\nBin-density values other than the above are distributed evenly in log space within each decade.  Values higher than 29 are of little benefit, especially with spline interpolation (Graph->Spline interpolation) turned on.\n\nBecause the full phase record is always saved with each measurement, you can use Edit->Trace properties at any time after acquisition to change the bin density, bin threshold, and number of traces generated from the acquired phase data."},
    {1006, 0, "Bin Threshold",
     "When rendering deviation plots, bins with fewer contributing phase values than this number will not be displayed.\n\nThe default bin threshold is 4.\n\nBecause the full phase record is always saved with each measurement, you can use Edit->Trace properties at any time after acquisition to change the bin density, bin threshold, and number of traces generated from the acquired phase data."},
    {1007, 0, "Input Frequency",
     "This field is required only when acquiring time-interval data.  It specifies the frequency of the signal being characterized; that is, the one that determines the START-to-STOP duration at the counter input.\n\nOrvane assumes that the START channel begins the measurement period and that the STOP channel ends it.  For example, if 10 MHz is applied to the STOP channel, enter 10E6 regardless of the START channel or external-arming rate.  If 1-pps signals are driving both input channels, enter 1.\n\nThe input frequency is used to perform phase-unwrapping and to report frequency counts.  Nominal or estimated values such as 10E6 are fine, unless you need absolute frequency accuracy in TI acquisition mode."},
    {1008, 1025, "Available Interfaces",
     "This control lists all of the supported interfaces available in your system.  Depending on the supported instrument type, these may include the following:\n\n          - National Instruments NI488.2-compatible GPIB adapters\n          - Serial (COM) ports that may be connected directly to the instrument\n          - Serial (COM) ports that may be associated with Prologix GPIB-USB adapters\n          - IP addresses associated with Prologix GPIB-ETHERNET adapters\n          - Direct connection to a TCP/IP-based instrument at the specified Instrument Address\n\nBefore using the Monitor or Start Measurement buttons, you must select the desired interface from this list.  The counter's GPIB or TCP/IP address must also be entered in the Instrument Address field, when applicable. \n\nHP 531xxA counters connected via a null-modem cable must use \"Acquire->Acquire from counter in talk-only mode\" instead."},
    {1009, 1026, "Incoming Data",
     "These options allow you to view the measurement stream from the counter before beginning the actual acquisition.\n\nWhen the Monitor button is pressed, Orvane will attempt to open a connection to the Picotest/Array U6200A series using the selected interface.  If the counter is being triggered, its raw time-interval or frequency readings will appear in the Incoming Data window.\n\nThis connection will be maintained until the Disconnect button is pressed, a new interface is selected, or one of the Start Measurement, Cancel, or Restore Defaults buttons is pressed.\n\nThe Instrument Address field must be valid unless an RS-232 serial connection is in use.  (Note that HP 531xxA counters connected via a null-modem cable must use \"Acquire->Acquire from counter in talk-only mode\" instead.)"},
    {1011, 1012, "Measurement Duration",
     "The duration of each measurement, specified as a time value or number of acquired points.\n\nThis value determines the total record length for a measurement. \n\nSee the Trace History and Run Until fields for more information."},
    {1013, 0, "Trace History",
     "By default, a measurement generates a single trace for each statistical deviation type.\nHowever, you can perform basic \"dynamic deviation\" measurements by setting Trace History to a value greater than one.  In this case multiple traces are recorded in sequence and displayed atop each other, rendered with increasing levels of color saturation as they \"age.\"\n\nBecause the full phase record is always saved with each measurement, you can use Edit->Trace properties at any time after acquisition to change the bin density, bin threshold, and number of traces generated from the acquired phase data."},
    {1014, 0, "Run Until",
     "Measurements can always be terminated manually by pressing the Space bar (Acquire->Stop/Repeat).  When set to \"Manually terminated or acquisition complete\", the measurement will terminate automatically once the Measurement Duration elapses.\n\nOtherwise, in \"Manually terminated\" mode, the measurement will execute indefinitely.  In this mode, when the specified record size is reached, the phase record will be scrolled incrementally if Trace History is 1, or rewound to its beginning if multiple deviation traces are being recorded."},
    {1015, 0, "Instrument Address",
     "Specifies the Picotest/Array U6200A series's GPIB address as a decimal value.  This field must match the talk/listen address for which the \nPicotest/Array U6200A series is configured, and the instrument must be in addressable (not talk-only) mode.\n\nThe GPIB address field is not used for direct RS-232 serial connections.  (Note that HP 531xxA counters connected via a null-modem cable must use \"Acquire->Acquire from counter in talk-only mode\" instead.)"},
    {1021, 0, "Additional Notes",
     "Specifies optional additional notes for this trace.  Examples might include the environmental conditions, reference source or other factors affecting the measurement.\n\nTo display trace notes beneath the graph in the main window, select the Legend -> Notes menu option.\n\nYou can revise your notes at any time using Edit -> Trace properties.\n\nUp to %d characters may be entered in this field."},
    {1022, 0, "Restore Defaults",
     "Press this button to reset all fields to their default values.  Any changes made to the measurement parameters will be discarded."},
    {1023, 0, "Data Type",
     "This control should be set to the counter's measurement mode.\n\nGenerally, the accuracy and measurement floor of ADEV and related measurements will be better in Time Interval mode, but acquiring data in Frequency mode may be more convenient for drift measurements or quick assessments of oscillator performance."},
    {1028, 0, "Enable Prologix GPIB-USB Support",
     "If this option is selected, Orvane will assume that any serial ports with FTDI D2XX drivers are virtual COM ports associated with Prologix GPIB-USB interfaces.\n\nYou should check this box before selecting the COM port in the Available Interfaces list if you're using a Prologix GPIB-USB adapter.  If you're not using a Prologix GPIB-USB adapter, the box should be unchecked prior to port selection."},
    {1029, 0, "Automatically query instrument ID",
     "Uncheck this option if you encounter difficulty with an unsupported counter that's compatible with the Picotest/Array U6200A series.\nThis will prevent Orvane from attempting to identify the counter model automatically."},
};

ACQ_CONTEXT* context_of(DLGSURFACE* window) { return static_cast<ACQ_CONTEXT*>(window->user_data()); }

// Both ways out of the dialog stop the timers and the monitor and give up
// the port before the dialog ends, so nothing touches it afterwards.
void finish(ACQ_CONTEXT* context, DLGSURFACE* window, int result) {
  window->kill_timer(DLG_TIMER_CONTROLS);
  window->kill_timer(DLG_TIMER_MONITOR);
  context->disconnect_monitor();
  release_dialog_port(context);
  window->end_dialog(result);
  context->dialog_window = nullptr;
}

bool initialise(DLGSURFACE* window, ACQ_CONTEXT* context) {
  window->set_user_data(context);
  context->dialog_window = window;
  reset_help_tracker();
  if (!create_dialog_port(context)) {
    window->end_dialog(0);
    context->dialog_window = nullptr;
    return false;
  }
  center_window(window, true);
  window->set_text(DLG_SELF, kDialogCaption);
  context->store.to_dialog(window, true);
  auto handle = [window](int id) { return window->has_control(id) ? id : 0; };
  context->prologix_box = handle(IDC_PROLOGIX);
  context->identify_box = handle(IDC_IDENTIFY);
  context->incoming_box = handle(IDC_INCOMING);
  context->id_label = handle(IDC_ID_LABEL);
  context->monitor_button = handle(IDC_MONITOR);
  context->interval_box = handle(IDC_SAMPLE_INTERVAL);
  window->enable(IDC_INCOMING, false);
  window->enable(IDC_ID_LABEL, false);
  context->update_controls();
  context->refresh_interfaces();
  window->set_timer(DLG_TIMER_CONTROLS, 100);
  window->set_timer(DLG_TIMER_MONITOR, 10);
  return true;
}

// The list box sorts its items, so a list position is matched back to the
// entry whose display text is found there.
void choose_selected(ACQ_CONTEXT* context, DLGSURFACE* window) {
  int selected = window->get_selection(IDC_INTERFACE_LIST);
  if (selected < 0) return;
  for (int i = 0; i < context->interface_count; i++) {
    if (window->find_prefix(IDC_INTERFACE_LIST, context->interfaces[i].display_text) == selected) {
      context->choose_interface(i);
      return;
    }
  }
}

bool command(DLGSURFACE* window, ACQ_CONTEXT* context, int id, int code) {
  // Controls notify the dialog while a timer handler changes their texts;
  // those notifications are not the user's.
  if (context->busy_count != 0) return false;
  switch (id) {
    case IDC_START:
      if (window->get_selection(IDC_INTERFACE_LIST) < 0) {
        window->message_box("Select a valid interface first", "Error", PLAT_MB_OK);
        return false;
      }
      if (!context->store.from_dialog(window)) return false;
      finish(context, window, 1);
      return true;
    case IDC_CANCEL:
      finish(context, window, 0);
      return false;
    case IDC_INTERFACE_LIST:
      if (code == DLG_NOTIFY_SELCHANGE) choose_selected(context, window);
      return false;
    case IDC_RESTORE:
      context->disconnect_monitor();
      context->reset_monitor();
      context->delete_store();
      context->create_store();
      context->store.to_dialog(window, false);
      context->choose_interface(-1);
      return false;
    case IDC_REFRESH:
      context->refresh_interfaces();
      return false;
    case IDC_MONITOR:
      if (context->monitor_thread_handle) {
        context->disconnect_monitor();
      } else {
        context->start_monitor();
      }
      return false;
    default:
      return false;
  }
}

// The help tracker's memory, shared by every dialog of the module.
const int kNoWindow = INT_MIN;
struct HELP_TRACKER {
  DLG_POINT last_cursor;
  uint32_t moved_time;
  int last_focus;
  int shown_control;
  uint32_t shown_time;
  int hovered_control;
  uint32_t hover_time;
};
HELP_TRACKER g_help = {{-1, 0}, 0, DLG_NONE, kNoWindow, 0, kNoWindow, 0};

}  // namespace

void reset_help_tracker() { g_help = HELP_TRACKER{{-1, 0}, 0, DLG_NONE, kNoWindow, 0, kNoWindow, 0}; }

bool setup_dialog_proc(DLGSURFACE* window, int message, intptr_t first, intptr_t second) {
  if (message == DLG_MSG_INIT) return initialise(window, reinterpret_cast<ACQ_CONTEXT*>(first));
  ACQ_CONTEXT* context = context_of(window);
  if (!context) return false;
  if (message == DLG_MSG_TIMER) {
    context->busy_count++;
    if (first == DLG_TIMER_CONTROLS) {
      context->update_controls();
      track_help_target(window, show_control_help, 500, context, DLG_NONE, nullptr);
    } else if (first == DLG_TIMER_MONITOR) {
      context->pump_monitor();
    }
    context->busy_count--;
    return true;
  }
  if (message == DLG_MSG_COMMAND) {
    return command(window, context, static_cast<int>(first & 0xFFFF), static_cast<int>((first >> 16) & 0xFFFF));
  }
  return false;
}

void show_control_help(void* user_data, DLGSURFACE* dialog, int control_id) {
  for (const HELP_TEXT& h : kHelp) {
    if (h.id != control_id && (h.second_id == 0 || h.second_id != control_id)) continue;
    dlg_printf(dialog, IDC_HELP_GROUP, "%s", h.caption);
    if (control_id == IDC_NOTES) {
      dlg_printf(dialog, IDC_HELP_TEXT, h.text, kNotesLimit);
    } else {
      dlg_printf(dialog, IDC_HELP_TEXT, "%s", h.text);
    }
    return;
  }
}

void track_help_target(DLGSURFACE* dialog, HELP_FN help, int delay_ms, void* user_data, int container_control,
                       DLGSURFACE* container_window) {
  if (!dialog->is_foreground()) return;
  uint32_t now = dialog->tick_ms();
  DLG_POINT pos = dialog->cursor_pos();
  if (pos.x != g_help.last_cursor.x || pos.y != g_help.last_cursor.y) g_help.moved_time = now;
  g_help.last_cursor = pos;

  int focus = dialog->get_focus();
  if (focus != g_help.last_focus) {
    g_help.last_focus = focus;
    g_help.shown_control = focus;
    g_help.hover_time = now;
    g_help.shown_time = now;
    help(user_data, dialog, focus);
    return;
  }
  // A pointer that has not moved since the help last changed never takes
  // the help back from the focus.
  if (static_cast<int32_t>(g_help.moved_time - g_help.shown_time) < 0) return;

  int child = dialog->control_at(pos);
  if (container_window && container_control != DLG_NONE && child == container_control) {
    child = container_window->control_at(pos);
  }
  if (child == DLG_NONE || child == g_help.shown_control) return;
  if (child != g_help.hovered_control) {
    g_help.hovered_control = child;
    g_help.hover_time = now;
  }
  if (static_cast<int32_t>(now - g_help.hover_time) < delay_ms) return;
  g_help.shown_control = child;
  g_help.shown_time = now;
  help(user_data, dialog, child);
}

bool center_window(DLGSURFACE* window, bool over_parent) {
  DLG_RECT own = window->window_rect();
  int w = own.right - own.left, h = own.bottom - own.top;
  DLG_RECT ref;
  if (!over_parent || !window->parent_rect(&ref)) ref = window->screen_rect();
  int x = ref.left + ((ref.right - ref.left) - w) / 2;
  int y = ref.top + ((ref.bottom - ref.top) - h) / 2;
  DLG_RECT vs = window->virtual_screen_rect();
  int right = vs.right - 1, bottom = vs.bottom - 1;
  if (x < vs.left) {
    x = vs.left;
  } else if (x + w > right) {
    x = right - w;
  }
  if (y < vs.top) {
    y = vs.top;
  } else if (y + h > bottom) {
    y = bottom - h;
  }
  return window->move_window(x, y);
}

int run_setup_dialog_on(ACQ_CONTEXT* context, DLGSURFACE* surface) {
  if (!context || !surface || !context->params) return 0;
  return surface->run_modal(setup_dialog_proc, context);
}

int run_setup_dialog(ACQ_CONTEXT* context, void* parent_window) {
  int kind = SETUP_ACCEPT;
  const SETUP_REQUEST* request = static_cast<const SETUP_REQUEST*>(parent_window);
  if (request) {
    if (request->magic != SETUP_REQUEST_MAGIC) {
      std::printf("Setup dialog: the parent window is no setup request\n");
      return 0;
    }
    kind = request->kind;
    if (kind != SETUP_ACCEPT && kind != SETUP_CANCEL && kind != SETUP_SCRIPT) {
      std::printf("Setup dialog: surface kind %d is not available here\n", kind);
      return 0;
    }
  }
  HEADLESS_SURFACE* surface = new (std::nothrow) HEADLESS_SURFACE(true);
  if (!surface) return 0;
  surface->set_script(kind, request ? request->script : nullptr);
  if (request) surface->set_trace(request->trace, request->trace_user);
  int result = run_setup_dialog_on(context, surface);
  delete surface;
  return result;
}
