// The setup dialog: its procedure, help panel, centring, and the entry that
// the acquire command calls.
//
// How a host chooses the surface. run_setup_dialog's parent_window is what
// the host passed to the acquire command:
//   - null: no window system; the dialog runs on the headless surface and is
//     accepted as loaded ("Start Measurement" is pressed at once).
//   - a SETUP_REQUEST (magic SETUP_REQUEST_MAGIC): the host's choice of
//     surface and, for a scripted run, the user's actions.
// On a platform with its own window system the parent is that system's
// window and the native surface is used instead; POSIX has none, so any
// other value is refused (result 0).
#pragma once
#include <cstdint>

#include "dialog/surface.h"

class ACQ_CONTEXT;

enum { SETUP_REQUEST_MAGIC = 0x55363244 };  // "D26U" in memory

enum SETUP_SURFACE_KIND {
  SETUP_ACCEPT = 0,    // headless, accepted as loaded
  SETUP_CANCEL = 1,    // headless, cancelled at once (result 0)
  SETUP_SCRIPT = 2,    // headless, the actions in script, in real time
  SETUP_TERMINAL = 3,  // an interactive terminal dialog (not built yet: refused)
};

// One line of what the scripted dialog shows (message boxes, the status label
// under the list, lines of Incoming Data, the end result), for hosts that want
// to print them. Called on the dialog's thread.
typedef void (*SETUP_TRACE_FN)(void* user, const char* text);

struct SETUP_REQUEST {
  uint32_t magic;      // SETUP_REQUEST_MAGIC
  int32_t kind;        // SETUP_SURFACE_KIND
  const char* script;  // SETUP_SCRIPT: the actions below; may be null
  SETUP_TRACE_FN trace;  // may be null
  void* trace_user;
};

// Script actions, one per line (a line feed or ';' ends an action; blank
// lines and lines starting with '#' are skipped). A control is named by its
// identifier, by its own text ("Monitor", "Prologix GPIB-USB support"), or
// by the label in front of it ("Sampling Interval", "Instrument Address"),
// compared without regard to case.
//   set <control> = <text>     type the text into an edit field
//   select <control> = <item>  pick a drop-down item by its text (or index)
//   tick <control>             tick a check box
//   untick <control>           clear a check box
//   choose <text>              pick the first interface whose display text
//                              begins with text (case-insensitive)
//   press <control>            press a button ("Start Measurement", "Cancel",
//                              "Restore Defaults", "Refresh", "Monitor")
//   enter / escape             the Enter and Escape keys
//   wait <ms>                  let ms milliseconds of real time pass while
//                              the dialog's timers run (the monitor shows
//                              its readings meanwhile)
// The dialog is cancelled when the script ends with the dialog still open.
// An action the script cannot carry out ends the run with result 0.

// Runs the modal setup dialog on the context. Answers 1 when "Start
// Measurement" was pressed and the fields passed validation, 0 otherwise.
int run_setup_dialog(ACQ_CONTEXT* context, void* parent_window);

// Runs the setup dialog on a surface that has been opened by its owner; the
// surface's modal loop (run_modal) runs until end_dialog. Answers the result.
int run_setup_dialog_on(ACQ_CONTEXT* context, DLGSURFACE* surface);

// The messages a surface delivers to the dialog procedure.
enum {
  DLG_MSG_INIT = 1,     // first = the context (ACQ_CONTEXT*)
  DLG_MSG_COMMAND = 2,  // first = control id | notification code << 16
  DLG_MSG_TIMER = 3,    // first = timer id
};
// Notification codes of DLG_MSG_COMMAND.
enum {
  DLG_NOTIFY_CLICKED = 0,
  DLG_NOTIFY_SELCHANGE = 1,  // a list or drop-down selection changed by the user
  DLG_NOTIFY_CHANGE = 0x300, // an edit field's text changed
};
enum { DLG_TIMER_CONTROLS = 1, DLG_TIMER_MONITOR = 2 };

// The dialog procedure: true when the message was handled.
bool setup_dialog_proc(DLGSURFACE* window, int message, intptr_t first, intptr_t second);

// Sets the help caption and text for one control; other ids change nothing.
void show_control_help(void* user_data, DLGSURFACE* dialog, int control_id);

typedef void (*HELP_FN)(void* user_data, DLGSURFACE* dialog, int control_id);

// Decides on every tick whether the help must follow the focus or the
// pointer; container_control / container_window are not used by this dialog
// (pass DLG_NONE and null).
void track_help_target(DLGSURFACE* dialog, HELP_FN help, int delay_ms, void* user_data, int container_control,
                       DLGSURFACE* container_window);

// Forgets what the help tracker remembers, as at module load.
void reset_help_tracker();

// Centres the window over its parent (or the primary screen when over_parent
// is false or there is no parent), kept on the virtual screen. Answers
// whether the move succeeded.
bool center_window(DLGSURFACE* window, bool over_parent);
