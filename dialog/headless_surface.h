// A dialog surface without a window: control state lives in memory, and the
// owner delivers what a person and the window system would (initialisation,
// button presses, typing, list choices, pointer moves, focus and foreground
// changes, timer ticks). Time is virtual (advance) for tests, or real
// (wait) for hosts without a window system, which also run a short script
// of user actions through run_modal.
#pragma once
#include <cstdint>

#include "dialog/setup_dialog.h"
#include "dialog/surface.h"
#include "dialog/template.h"

enum {
  HL_MAX_CONTROLS = 64,
  HL_TEXT_SIZE = 8192,
  HL_MAX_LISTS = 4,
  HL_MAX_ITEMS = 256,
  HL_ITEM_SIZE = 512,
  HL_MAX_TIMERS = 4,
  HL_MESSAGE_SIZE = 1024,
  // Labels without an identifier answer control_at with HL_LABEL_BASE minus
  // their place in the template, so that each is a window of its own.
  HL_LABEL_BASE = -1000,
};

class HEADLESS_SURFACE : public DLGSURFACE {
 public:
  // real_time: tick_ms follows the platform's tick and wait() sleeps;
  // otherwise the clock only moves with advance().
  explicit HEADLESS_SURFACE(bool real_time = false, const DLG_TEMPLATE* tpl = &SETUP_TEMPLATE);

  // --- What a window system and a person do ---
  // Attaches proc and delivers the initialisation message; when proc answers
  // true the focus goes to the first tab stop. Answers proc's answer.
  bool open(PROC proc, void* context);
  // Virtual time: moves the clock by ms, delivering every timer tick that
  // falls due on the way, in time order.
  void advance(uint32_t ms);
  // Real time: lets ms milliseconds pass, delivering the timers as they fall due.
  void wait(uint32_t ms);
  // Delivers the ticks that are due now (real time).
  void deliver_due_timers();
  // A click on a button or check box (a check box toggles first). The
  // focus moves to it, as a click does. Ignored when disabled or missing.
  bool click(int id);
  void press_enter();
  void press_escape();
  // Typing: replaces the field's text and notifies the dialog.
  bool type_text(int id, const char* text);
  // The user picks an item of a list or drop-down (-1: none).
  bool choose_item(int id, int index);
  // Tab to the next tab stop, or set the focus to a control (DLG_NONE: away).
  void tab();
  void focus_control(int id);
  // Pointer and mouse.
  void move_pointer(DLG_POINT screen);
  DLG_POINT control_center(int id);  // screen coordinates
  void point_at(int id) { move_pointer(control_center(id)); }
  void set_left_button(bool down) { left_down_ = down; }
  void set_foreground(bool on) { foreground_ = on; }
  // Geometry for centring.
  void set_window_origin(int x, int y);
  void set_parent(const DLG_RECT* rect);  // null: no parent window
  void set_screens(DLG_RECT primary, DLG_RECT virtual_screen);
  // The trace of a scripted run (message boxes, status label, readings).
  void set_trace(SETUP_TRACE_FN fn, void* user) { trace_ = fn; trace_user_ = user; }
  void set_script(int kind, const char* script) { mode_ = kind; script_ = script; }

  // --- What a test looks at ---
  bool ended() const { return ended_; }
  int result() const { return result_; }
  const char* text(int id);  // "" for a missing control
  bool timer_active(int timer_id) const;
  int message_box_count() const { return message_boxes_; }
  const char* last_message_box() const { return last_box_text_; }
  const char* last_message_caption() const { return last_box_caption_; }
  int wait_cursor_depth() const { return wait_depth_; }
  int item_text(int id, int index, char* buf, int size);
  int caret(int id);
  int repaint_count() const { return repaints_; }
  // Why a script stopped early ("" when it ran to its end).
  const char* script_error() const { return script_error_; }

  // --- DLGSURFACE ---
  void set_user_data(void* data) override { user_data_ = data; }
  void* user_data() override { return user_data_; }
  uint32_t tick_ms() override;
  int run_modal(PROC proc, void* context) override;
  bool has_control(int id) override;
  bool set_text(int id, const char* text) override;
  int get_text(int id, char* buf, int size) override;
  void set_check(int id, bool checked) override;
  bool get_check(int id) override;
  void enable(int id, bool on) override;
  bool is_enabled(int id) override;
  void set_focus(int id) override;
  int get_focus() override { return focus_; }
  void reset_items(int id) override;
  int add_item(int id, const char* text) override;
  int item_count(int id) override;
  void set_selection(int id, int index) override;
  int get_selection(int id) override;
  int find_prefix(int id, const char* prefix) override;
  void set_caret(int id, int position) override;
  void scroll_caret(int id) override {}
  void repaint(int id) override { repaints_++; }
  void set_timer(int timer_id, int period_ms) override;
  void kill_timer(int timer_id) override;
  void end_dialog(int result) override;
  DLG_POINT cursor_pos() override { return pointer_; }
  bool is_foreground() override { return foreground_; }
  bool left_button_down() override { return left_down_; }
  int control_at(DLG_POINT screen) override;
  intptr_t show_wait_cursor() override { return ++wait_depth_; }
  void restore_cursor(intptr_t token) override { wait_depth_ = static_cast<int>(token) - 1; }
  DLG_RECT window_rect() override;
  bool parent_rect(DLG_RECT* out) override;
  DLG_RECT screen_rect() override { return primary_; }
  DLG_RECT virtual_screen_rect() override { return virtual_; }
  bool move_window(int x, int y) override;
  int message_box(const char* text, const char* caption, unsigned flags) override;

 private:
  struct CONTROL {
    const DLG_CONTROL* def;
    char text[HL_TEXT_SIZE];
    bool enabled;
    bool checked;
    int selection;
    int caret;
    int list;  // index into lists_, -1 for controls without items
  };
  struct LIST {
    int count;
    char items[HL_MAX_ITEMS][HL_ITEM_SIZE];
  };
  struct TIMER {
    int id;
    int period;
    uint32_t due;
    bool active;
  };

  CONTROL* find(int id);
  void dispatch(int message, intptr_t first, intptr_t second);
  void command(int id, int code) { dispatch(DLG_MSG_COMMAND, (id & 0xFFFF) | (code << 16), 0); }
  bool next_due(uint32_t limit, int* index);
  void trace(const char* format, ...);
  bool run_script(const char* script);
  bool run_action(char* line);
  int resolve(const char* name);

  const DLG_TEMPLATE* tpl_;
  bool real_time_;
  uint32_t virtual_now_;
  CONTROL controls_[HL_MAX_CONTROLS];
  int control_count_;
  LIST lists_[HL_MAX_LISTS];
  TIMER timers_[HL_MAX_TIMERS];
  char caption_[HL_ITEM_SIZE];
  PROC proc_;
  void* user_data_;
  bool ended_;
  int result_;
  int focus_;
  DLG_POINT pointer_;
  bool foreground_;
  bool left_down_;
  int window_x_, window_y_;
  bool has_parent_;
  DLG_RECT parent_;
  DLG_RECT primary_;
  DLG_RECT virtual_;
  int message_boxes_;
  char last_box_text_[HL_MESSAGE_SIZE];
  char last_box_caption_[HL_ITEM_SIZE];
  int wait_depth_;
  int repaints_;
  SETUP_TRACE_FN trace_;
  void* trace_user_;
  int mode_;
  const char* script_;
  char script_error_[HL_ITEM_SIZE];
};
