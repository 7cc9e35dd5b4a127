// The dialog surface: everything the setup dialog's portable code asks of a
// window system. A surface is one open dialog. Controls are named by their
// identifier; DLG_NONE stands for "no control" and DLG_SELF for the dialog
// window itself. Implementations: the headless surface (tests, scripted
// hosts), the terminal dialog and the Win32 dialog.
#pragma once
#include <cstdint>

enum { DLG_NONE = -1, DLG_SELF = 0 };

struct DLG_RECT {
  int left, top, right, bottom;
};
struct DLG_POINT {
  int x, y;
};

class DLGSURFACE {
 public:
  virtual ~DLGSURFACE() {}

  // The dialog's user data: the context, attached at initialisation.
  virtual void set_user_data(void* data) = 0;
  virtual void* user_data() = 0;

  // The millisecond tick count the dialog's timing uses (the system's tick,
  // or a test's virtual clock), wrapping modulo 2^32.
  virtual uint32_t tick_ms() = 0;

  // Runs the modal loop: delivers the initialisation message with context to
  // proc, then the user's actions and the timers, until end_dialog. Answers
  // the result given to end_dialog.
  typedef bool (*PROC)(DLGSURFACE* window, int message, intptr_t first, intptr_t second);
  virtual int run_modal(PROC proc, void* context) = 0;

  // Whether the dialog has a control with this identifier.
  virtual bool has_control(int id) = 0;

  // Texts. get_text fills buf with at most size - 1 characters and answers
  // the length; set_text answers false when the control is missing.
  virtual bool set_text(int id, const char* text) = 0;
  virtual int get_text(int id, char* buf, int size) = 0;

  // Check boxes and two-state buttons.
  virtual void set_check(int id, bool checked) = 0;
  virtual bool get_check(int id) = 0;

  // Enabling.
  virtual void enable(int id, bool on) = 0;
  virtual bool is_enabled(int id) = 0;

  // Keyboard focus: the control that has it, or DLG_NONE when the focus is
  // outside the dialog.
  virtual void set_focus(int id) = 0;
  virtual int get_focus() = 0;

  // Drop-down lists and list boxes. Items are indexed from 0; a sorted list
  // box keeps its items in text order, so add_item answers the index the
  // item got. get_selection answers -1 when nothing is selected.
  virtual void reset_items(int id) = 0;
  virtual int add_item(int id, const char* text) = 0;
  virtual int item_count(int id) = 0;
  virtual void set_selection(int id, int index) = 0;  // -1 clears it
  virtual int get_selection(int id) = 0;
  // The first item at or after index 0 that begins with prefix, compared
  // without regard to case; -1 when none does.
  virtual int find_prefix(int id, const char* prefix) = 0;

  // Multi-line edit fields: place the caret (an empty selection) and scroll
  // it into view.
  virtual void set_caret(int id, int position) = 0;
  virtual void scroll_caret(int id) = 0;

  // Repaint a control (or the dialog, DLG_SELF) at once.
  virtual void repaint(int id) = 0;

  // Timers deliver timer(id) to the dialog procedure every period_ms.
  virtual void set_timer(int timer_id, int period_ms) = 0;
  virtual void kill_timer(int timer_id) = 0;

  // Ends the modal loop with this result.
  virtual void end_dialog(int result) = 0;

  // Pointer, foreground and mouse state.
  virtual DLG_POINT cursor_pos() = 0;            // screen coordinates
  virtual bool is_foreground() = 0;              // the dialog is the foreground window
  virtual bool left_button_down() = 0;
  // The window under a point in screen coordinates, looking through the
  // transparent inside of group boxes: a control's identifier, a value of
  // the surface's own for each label without one, DLG_SELF for the dialog's
  // background, DLG_NONE outside the dialog.
  virtual int control_at(DLG_POINT screen) = 0;

  // Wait cursor: show it, answering a token for restore_cursor.
  virtual intptr_t show_wait_cursor() = 0;
  virtual void restore_cursor(intptr_t token) = 0;

  // Geometry, in screen coordinates.
  virtual DLG_RECT window_rect() = 0;            // the dialog's own rectangle
  virtual bool parent_rect(DLG_RECT* out) = 0;   // false when there is no parent window
  virtual DLG_RECT screen_rect() = 0;            // the primary screen
  virtual DLG_RECT virtual_screen_rect() = 0;    // all monitors
  virtual bool move_window(int x, int y) = 0;

  // A modal message box owned by nobody, as the platform shows it.
  virtual int message_box(const char* text, const char* caption, unsigned flags) = 0;
};
