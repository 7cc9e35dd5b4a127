#include "dialog/headless_surface.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/clock.h"
#include "platform/msgbox.h"
#include "support/text.h"

namespace {

// Sizes come from callers of the surface as int; none at all fits nothing.
void copy_text(char* out, int size, const char* text) {
  if (size > 0) text_copy(out, static_cast<size_t>(size), text);
}

bool is_edit(int kind) { return kind == DLGK_EDIT || kind == DLGK_MULTILINE; }
bool is_button(int kind) { return kind == DLGK_BUTTON || kind == DLGK_DEFBUTTON; }

char* trim(char* s) {
  while (*s == ' ' || *s == '\t' || *s == '\r') s++;
  size_t n = std::strlen(s);
  while (n > 0 && (s[n - 1] == ' ' || s[n - 1] == '\t' || s[n - 1] == '\r')) s[--n] = 0;
  return s;
}

// A dropped-down list is taller in the template than the closed box that the
// pointer can meet.
const int kClosedDropdownHeight = 12;

}  // namespace

HEADLESS_SURFACE::HEADLESS_SURFACE(bool real_time, const DLG_TEMPLATE* tpl)
    : tpl_(tpl),
      real_time_(real_time),
      // Start just before the tick count wraps, so that every comparison of
      // ticks is made across the wrap at least once.
      virtual_now_(0xFFFFF000u),
      control_count_(0),
      proc_(nullptr),
      user_data_(nullptr),
      ended_(false),
      result_(0),
      focus_(DLG_NONE),
      pointer_{-5000, -5000},
      foreground_(true),
      left_down_(false),
      window_x_(0),
      window_y_(0),
      has_parent_(false),
      parent_{0, 0, 0, 0},
      primary_{0, 0, 1920, 1080},
      virtual_{0, 0, 1920, 1080},
      message_boxes_(0),
      wait_depth_(0),
      repaints_(0),
      trace_(nullptr),
      trace_user_(nullptr),
      mode_(SETUP_ACCEPT),
      script_(nullptr) {
  caption_[0] = 0;
  last_box_text_[0] = 0;
  last_box_caption_[0] = 0;
  script_error_[0] = 0;
  int lists = 0;
  for (int i = 0; i < tpl->count && control_count_ < HL_MAX_CONTROLS; i++) {
    CONTROL& c = controls_[control_count_++];
    c.def = &tpl->controls[i];
    copy_text(c.text, sizeof c.text, c.def->text);
    c.enabled = true;
    c.checked = false;
    c.selection = -1;
    c.caret = 0;
    c.list = -1;
    if ((c.def->kind == DLGK_DROPDOWN || c.def->kind == DLGK_LISTBOX) && lists < HL_MAX_LISTS) {
      c.list = lists;
      lists_[lists++].count = 0;
    }
  }
  for (TIMER& t : timers_) t = TIMER{0, 0, 0, false};
}

HEADLESS_SURFACE::CONTROL* HEADLESS_SURFACE::find(int id) {
  if (id == -1 || id == DLG_SELF) return nullptr;
  for (int i = 0; i < control_count_; i++) {
    if (controls_[i].def->id == id) return &controls_[i];
  }
  return nullptr;
}

void HEADLESS_SURFACE::dispatch(int message, intptr_t first, intptr_t second) {
  if (proc_ && !ended_) proc_(this, message, first, second);
}

void HEADLESS_SURFACE::trace(const char* format, ...) {
  if (!trace_) return;
  char text[HL_TEXT_SIZE];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  trace_(trace_user_, text);
}

uint32_t HEADLESS_SURFACE::tick_ms() { return real_time_ ? plat_tick_ms() : virtual_now_; }

bool HEADLESS_SURFACE::open(PROC proc, void* context) {
  proc_ = proc;
  ended_ = false;
  bool answer = proc(this, DLG_MSG_INIT, reinterpret_cast<intptr_t>(context), 0);
  if (answer && !ended_) {
    focus_ = DLG_NONE;
    tab();
  }
  return answer;
}

bool HEADLESS_SURFACE::next_due(uint32_t limit, int* index) {
  int best = -1;
  for (int i = 0; i < HL_MAX_TIMERS; i++) {
    const TIMER& t = timers_[i];
    if (!t.active || static_cast<int32_t>(t.due - limit) > 0) continue;
    if (best < 0 || static_cast<int32_t>(t.due - timers_[best].due) < 0 ||
        (t.due == timers_[best].due && t.id < timers_[best].id)) {
      best = i;
    }
  }
  *index = best;
  return best >= 0;
}

void HEADLESS_SURFACE::advance(uint32_t ms) {
  uint32_t target = virtual_now_ + ms;
  int i;
  while (!ended_ && next_due(target, &i)) {
    TIMER& t = timers_[i];
    if (static_cast<int32_t>(t.due - virtual_now_) > 0) virtual_now_ = t.due;
    t.due += static_cast<uint32_t>(t.period);
    dispatch(DLG_MSG_TIMER, t.id, 0);
  }
  virtual_now_ = target;
}

void HEADLESS_SURFACE::deliver_due_timers() {
  int i;
  uint32_t now = tick_ms();
  // Each timer fires at most once per call, like a window system that
  // coalesces late ticks.
  bool fired[HL_MAX_TIMERS] = {};
  while (!ended_ && next_due(now, &i) && !fired[i]) {
    TIMER& t = timers_[i];
    fired[i] = true;
    t.due += static_cast<uint32_t>(t.period);
    if (static_cast<int32_t>(t.due - now) <= 0) t.due = now + static_cast<uint32_t>(t.period);
    dispatch(DLG_MSG_TIMER, t.id, 0);
  }
}

void HEADLESS_SURFACE::wait(uint32_t ms) {
  if (!real_time_) {
    advance(ms);
    return;
  }
  uint32_t end = plat_tick_ms() + ms;
  while (!ended_) {
    deliver_due_timers();
    uint32_t now = plat_tick_ms();
    int32_t left = static_cast<int32_t>(end - now);
    if (left <= 0) break;
    int32_t sleep = left;
    for (const TIMER& t : timers_) {
      if (!t.active) continue;
      int32_t until = static_cast<int32_t>(t.due - now);
      if (until < sleep) sleep = until < 0 ? 0 : until;
    }
    plat_sleep_ms(static_cast<uint32_t>(sleep > 0 ? sleep : 1));
  }
}

bool HEADLESS_SURFACE::click(int id) {
  CONTROL* c = find(id);
  if (!c || !c->enabled || ended_) return false;
  if (c->def->kind == DLGK_CHECKBOX) {
    c->checked = !c->checked;
  } else if (!is_button(c->def->kind)) {
    return false;
  }
  if (c->def->style & DLGS_TABSTOP) focus_ = id;
  command(id, DLG_NOTIFY_CLICKED);
  return true;
}

// Enter and Escape reach the dialog as its OK and Cancel commands, from
// whichever control has the focus.
void HEADLESS_SURFACE::press_enter() { command(IDC_START, DLG_NOTIFY_CLICKED); }
void HEADLESS_SURFACE::press_escape() { command(IDC_CANCEL, DLG_NOTIFY_CLICKED); }

bool HEADLESS_SURFACE::type_text(int id, const char* text) {
  CONTROL* c = find(id);
  if (!c || !c->enabled || !is_edit(c->def->kind)) return false;
  focus_ = id;
  set_text(id, text);
  return true;
}

bool HEADLESS_SURFACE::choose_item(int id, int index) {
  CONTROL* c = find(id);
  if (!c || !c->enabled || c->list < 0) return false;
  if (index < -1 || index >= lists_[c->list].count) return false;
  focus_ = id;
  c->selection = index;
  command(id, DLG_NOTIFY_SELCHANGE);
  return true;
}

void HEADLESS_SURFACE::tab() {
  int start = -1;
  for (int i = 0; i < control_count_; i++) {
    if (focus_ != DLG_NONE && controls_[i].def->id == focus_) start = i;
  }
  for (int step = 1; step <= control_count_; step++) {
    const CONTROL& c = controls_[(start + step + control_count_) % control_count_];
    if ((c.def->style & DLGS_TABSTOP) && c.enabled) {
      focus_ = c.def->id;
      return;
    }
  }
}

void HEADLESS_SURFACE::focus_control(int id) { focus_ = (id == DLG_NONE || find(id)) ? id : focus_; }

void HEADLESS_SURFACE::move_pointer(DLG_POINT screen) { pointer_ = screen; }

DLG_POINT HEADLESS_SURFACE::control_center(int id) {
  const DLG_CONTROL* d = find_template_control(tpl_, id);
  if (!d) return DLG_POINT{window_x_ + tpl_->width / 2, window_y_ + tpl_->height / 2};
  int h = d->kind == DLGK_DROPDOWN ? kClosedDropdownHeight : d->height;
  return DLG_POINT{window_x_ + d->x + d->width / 2, window_y_ + d->y + h / 2};
}

void HEADLESS_SURFACE::set_window_origin(int x, int y) {
  window_x_ = x;
  window_y_ = y;
}

void HEADLESS_SURFACE::set_parent(const DLG_RECT* rect) {
  has_parent_ = rect != nullptr;
  if (rect) parent_ = *rect;
}

void HEADLESS_SURFACE::set_screens(DLG_RECT primary, DLG_RECT virtual_screen) {
  primary_ = primary;
  virtual_ = virtual_screen;
}

const char* HEADLESS_SURFACE::text(int id) {
  if (id == DLG_SELF) return caption_;
  CONTROL* c = find(id);
  return c ? c->text : "";
}

bool HEADLESS_SURFACE::timer_active(int timer_id) const {
  for (const TIMER& t : timers_) {
    if (t.active && t.id == timer_id) return true;
  }
  return false;
}

int HEADLESS_SURFACE::item_text(int id, int index, char* buf, int size) {
  CONTROL* c = find(id);
  if (size > 0) buf[0] = 0;
  if (!c || c->list < 0 || index < 0 || index >= lists_[c->list].count) return -1;
  copy_text(buf, size, lists_[c->list].items[index]);
  return static_cast<int>(std::strlen(lists_[c->list].items[index]));
}

int HEADLESS_SURFACE::caret(int id) {
  CONTROL* c = find(id);
  return c ? c->caret : -1;
}

bool HEADLESS_SURFACE::has_control(int id) { return find(id) != nullptr; }

bool HEADLESS_SURFACE::set_text(int id, const char* text) {
  if (id == DLG_SELF) {
    copy_text(caption_, sizeof caption_, text);
    return true;
  }
  CONTROL* c = find(id);
  if (!c) return false;
  copy_text(c->text, sizeof c->text, text);
  if (id == IDC_INTERFACE_STATUS || id == IDC_ID_LABEL) trace("%s", c->text);
  if (id == IDC_INCOMING && c->text[0]) {
    const char* last = std::strrchr(c->text, '\n');
    trace("> %s", last ? last + 1 : c->text);
  }
  // Edit fields tell their dialog about every change of text, also about
  // the ones the dialog makes itself.
  if (is_edit(c->def->kind)) command(id, DLG_NOTIFY_CHANGE);
  return true;
}

int HEADLESS_SURFACE::get_text(int id, char* buf, int size) {
  if (!buf || size <= 0) return 0;
  copy_text(buf, size, text(id));
  return static_cast<int>(std::strlen(buf));
}

void HEADLESS_SURFACE::set_check(int id, bool checked) {
  if (CONTROL* c = find(id)) c->checked = checked;
}

bool HEADLESS_SURFACE::get_check(int id) {
  CONTROL* c = find(id);
  return c && c->checked;
}

void HEADLESS_SURFACE::enable(int id, bool on) {
  if (CONTROL* c = find(id)) c->enabled = on;
}

bool HEADLESS_SURFACE::is_enabled(int id) {
  CONTROL* c = find(id);
  return c && c->enabled;
}

void HEADLESS_SURFACE::set_focus(int id) {
  if (id == DLG_NONE || find(id)) focus_ = id;
}

void HEADLESS_SURFACE::reset_items(int id) {
  CONTROL* c = find(id);
  if (!c || c->list < 0) return;
  lists_[c->list].count = 0;
  c->selection = -1;
}

int HEADLESS_SURFACE::add_item(int id, const char* text) {
  CONTROL* c = find(id);
  if (!c || c->list < 0) return -1;
  LIST& l = lists_[c->list];
  if (l.count >= HL_MAX_ITEMS) return -1;
  int at = l.count;
  if (c->def->style & DLGS_SORT) {
    at = 0;
    while (at < l.count && text_compare_nocase(l.items[at], text ? text : "") <= 0) at++;
    std::memmove(l.items[at + 1], l.items[at], static_cast<size_t>(l.count - at) * HL_ITEM_SIZE);
    if (c->selection >= at) c->selection++;
  }
  copy_text(l.items[at], HL_ITEM_SIZE, text);
  l.count++;
  return at;
}

int HEADLESS_SURFACE::item_count(int id) {
  CONTROL* c = find(id);
  return (c && c->list >= 0) ? lists_[c->list].count : 0;
}

void HEADLESS_SURFACE::set_selection(int id, int index) {
  CONTROL* c = find(id);
  if (!c || c->list < 0) return;
  c->selection = (index >= 0 && index < lists_[c->list].count) ? index : -1;
}

int HEADLESS_SURFACE::get_selection(int id) {
  CONTROL* c = find(id);
  return (c && c->list >= 0) ? c->selection : -1;
}

int HEADLESS_SURFACE::find_prefix(int id, const char* prefix) {
  CONTROL* c = find(id);
  if (!c || c->list < 0) return -1;
  const LIST& l = lists_[c->list];
  for (int i = 0; i < l.count; i++) {
    if (text_starts_with_nocase(l.items[i], prefix ? prefix : "")) return i;
  }
  return -1;
}

void HEADLESS_SURFACE::set_caret(int id, int position) {
  if (CONTROL* c = find(id)) {
    int n = static_cast<int>(std::strlen(c->text));
    c->caret = position < 0 ? 0 : (position > n ? n : position);
  }
}

void HEADLESS_SURFACE::set_timer(int timer_id, int period_ms) {
  if (period_ms < 1) period_ms = 1;
  TIMER* slot = nullptr;
  for (TIMER& t : timers_) {
    if (t.active && t.id == timer_id) slot = &t;
  }
  for (TIMER& t : timers_) {
    if (!slot && !t.active) slot = &t;
  }
  if (!slot) return;
  *slot = TIMER{timer_id, period_ms, tick_ms() + static_cast<uint32_t>(period_ms), true};
}

void HEADLESS_SURFACE::kill_timer(int timer_id) {
  for (TIMER& t : timers_) {
    if (t.id == timer_id) t.active = false;
  }
}

void HEADLESS_SURFACE::end_dialog(int result) {
  if (ended_) return;
  ended_ = true;
  result_ = result;
}

int HEADLESS_SURFACE::control_at(DLG_POINT screen) {
  int x = screen.x - window_x_, y = screen.y - window_y_;
  if (x < 0 || y < 0 || x >= tpl_->width || y >= tpl_->height) return DLG_NONE;
  for (int i = 0; i < control_count_; i++) {
    const DLG_CONTROL* d = controls_[i].def;
    if (d->kind == DLGK_GROUPBOX) continue;
    int h = d->kind == DLGK_DROPDOWN ? kClosedDropdownHeight : d->height;
    if (x >= d->x && x < d->x + d->width && y >= d->y && y < d->y + h) {
      return d->id == -1 ? HL_LABEL_BASE - i : d->id;
    }
  }
  return DLG_SELF;
}

DLG_RECT HEADLESS_SURFACE::window_rect() {
  return DLG_RECT{window_x_, window_y_, window_x_ + tpl_->width, window_y_ + tpl_->height};
}

bool HEADLESS_SURFACE::parent_rect(DLG_RECT* out) {
  if (!has_parent_) return false;
  *out = parent_;
  return true;
}

bool HEADLESS_SURFACE::move_window(int x, int y) {
  window_x_ = x;
  window_y_ = y;
  return true;
}

int HEADLESS_SURFACE::message_box(const char* text, const char* caption, unsigned flags) {
  message_boxes_++;
  copy_text(last_box_text_, sizeof last_box_text_, text);
  copy_text(last_box_caption_, sizeof last_box_caption_, caption);
  trace("[%s] %s", last_box_caption_, last_box_text_);
  return plat_message_box(text, caption, flags);
}

int HEADLESS_SURFACE::run_modal(PROC proc, void* context) {
  open(proc, context);
  if (!ended_) deliver_due_timers();
  switch (mode_) {
    case SETUP_ACCEPT:
      press_enter();
      break;
    case SETUP_SCRIPT:
      if (!run_script(script_)) trace("script stopped: %s", script_error_);
      break;
    default:
      break;
  }
  if (!ended_) press_escape();
  trace("dialog result %d", result_);
  return result_;
}

// A control named by its identifier, its own text, or the label in front of
// it.
int HEADLESS_SURFACE::resolve(const char* name) {
  char* end = nullptr;
  long id = std::strtol(name, &end, 10);
  if (end && end != name && *end == 0 && find(static_cast<int>(id))) return static_cast<int>(id);
  for (int i = 0; i < control_count_; i++) {
    const DLG_CONTROL* d = controls_[i].def;
    if (d->id != -1 && d->text[0] && text_equal_nocase(d->text, name)) return d->id;
  }
  for (int i = 0; i + 1 < control_count_; i++) {
    const DLG_CONTROL* d = controls_[i].def;
    if (d->kind == DLGK_LABEL && d->id == -1 && text_equal_nocase(d->text, name)) {
      for (int j = i + 1; j < control_count_; j++) {
        if (controls_[j].def->id != -1) return controls_[j].def->id;
      }
    }
  }
  return DLG_NONE;
}

bool HEADLESS_SURFACE::run_script(const char* script) {
  if (!script) return true;
  char line[HL_TEXT_SIZE];
  const char* p = script;
  while (*p && !ended_) {
    size_t n = std::strcspn(p, "\n;");
    size_t take = n < sizeof line - 1 ? n : sizeof line - 1;
    std::memcpy(line, p, take);
    line[take] = 0;
    p += n;
    if (*p) p++;
    if (!run_action(line)) return false;
    deliver_due_timers();
  }
  return true;
}

bool HEADLESS_SURFACE::run_action(char* raw) {
  char* line = trim(raw);
  if (!*line || *line == '#') return true;
  char* arg = line;
  while (*arg && *arg != ' ' && *arg != '\t') arg++;
  if (*arg) *arg++ = 0;
  arg = trim(arg);
  const char* verb = line;
  char* value = nullptr;
  if (char* eq = std::strchr(arg, '=')) {
    *eq = 0;
    value = trim(eq + 1);
    arg = trim(arg);
  }
  auto fail = [&](const char* why) {
    std::snprintf(script_error_, sizeof script_error_, "%s: %s %s", why, verb, arg);
    return false;
  };
  if (text_equal_nocase(verb, "wait")) {
    char* end = nullptr;
    long ms = std::strtol(arg, &end, 10);
    if (end == arg || ms < 0) return fail("bad time");
    wait(static_cast<uint32_t>(ms));
    return true;
  }
  if (text_equal_nocase(verb, "enter")) {
    press_enter();
    return true;
  }
  if (text_equal_nocase(verb, "escape")) {
    press_escape();
    return true;
  }
  if (text_equal_nocase(verb, "choose")) {
    int index = find_prefix(IDC_INTERFACE_LIST, arg);
    if (index < 0 || !*arg) return fail("no such interface");
    return choose_item(IDC_INTERFACE_LIST, index) || fail("list disabled");
  }
  int id = resolve(arg);
  if (id == DLG_NONE) return fail("no such control");
  if (text_equal_nocase(verb, "set")) {
    return (value && type_text(id, value)) || fail("cannot type into");
  }
  if (text_equal_nocase(verb, "select")) {
    if (!value) return fail("no item given");
    int index = find_prefix(id, value);
    char* end = nullptr;
    long n = std::strtol(value, &end, 10);
    if (index < 0 && end != value && *end == 0) index = static_cast<int>(n);
    return choose_item(id, index) || fail("cannot select in");
  }
  if (text_equal_nocase(verb, "tick") || text_equal_nocase(verb, "untick")) {
    CONTROL* c = find(id);
    if (!c || c->def->kind != DLGK_CHECKBOX) return fail("not a check box");
    bool want = text_equal_nocase(verb, "tick");
    if (c->checked != want) return click(id) || fail("disabled");
    return true;
  }
  if (text_equal_nocase(verb, "press")) return click(id) || fail("cannot press");
  return fail("unknown action");
}
