// The exchange between the store's entries and the controls of a dialog.
#include <cstring>

#include "dialog/surface.h"
#include "kvstore/kvstore.h"
#include "support/check.h"

namespace {

typedef char FIELD_TEXT[KV_FIELD_TEXT_MAX + 1];

bool is_edit(int kind) { return kind == CTRL_TEXT || kind == CTRL_REAL || kind == CTRL_INT; }
bool is_check(int kind) { return kind == CTRL_BUTTON || kind == CTRL_CHECKBOX; }

bool integer_chars(const char* text) {
  for (const char* p = text; *p; ++p)
    if (!((*p >= '0' && *p <= '9') || *p == '-' || *p == '+')) return false;
  return true;
}

void read_text(DLGSURFACE* dialog, int id, FIELD_TEXT& text) {
  std::memset(text, 0, sizeof text);
  dialog->get_text(id, text, int(sizeof text));
  text[KV_FIELD_TEXT_MAX] = 0;
}

void normalise_in_place(FIELD_TEXT& text) {
  FIELD_TEXT normal;
  normalise_int(text, normal, sizeof normal);
  std::memcpy(text, normal, sizeof text);
}

void fill_combo(DLGSURFACE* dialog, const KVDLGFIELD* e) {
  dialog->reset_items(e->ctrl_ID);
  size_t n = 0;
  while (n < sizeof e->choices && e->choices[n]) ++n;
  size_t i = 0;
  while (i < n) {
    size_t j = i;
    while (j < n && e->choices[j] != '\n') ++j;
    FIELD_TEXT item = {};
    size_t len = j - i < size_t(KV_FIELD_TEXT_MAX) ? j - i : size_t(KV_FIELD_TEXT_MAX);
    std::memcpy(item, e->choices + i, len);
    dialog->add_item(e->ctrl_ID, item);
    while (j < n && e->choices[j] == '\n') ++j;
    i = j;
  }
}

bool skipped(DLGSURFACE* dialog, const KVDLGFIELD* e) {
  return e->ctrl_ID == 0 || !dialog->has_control(e->ctrl_ID);
}

}  // namespace

const char* KVDLGFIELD::range_check(const char* text) const {
  if (ctrl_type != CTRL_REAL && ctrl_type != CTRL_INT) return nullptr;
  if (!text) text = str();
  if (!*text) return def;
  double x = parse_number(text), lo = parse_number(min), hi = parse_number(max);
  // Integer fields accept their limits however the limit texts round.
  if (ctrl_type == CTRL_INT) {
    lo -= 0.01;
    hi += 0.01;
  }
  if (x < lo) return min;
  if (x > hi) return max;
  return nullptr;
}

void KVDLGSTORE::to_dialog(DLGSURFACE* dialog, bool enable) {
  int n = count();
  for (int i = 0; i < n; ++i) {
    KVDLGFIELD* e = at(i);
    if (!e || skipped(dialog, e) || e->ctrl_type < CTRL_TEXT || e->ctrl_type > CTRL_COMBO) continue;
    if (is_edit(e->ctrl_type)) {
      if (const char* limit = e->range_check()) put(e->key, limit);
      U62_CHECK(dialog->set_text(e->ctrl_ID, e->str()), "SetDlgItemText(hDlg, E->ctrl_ID, E->str())", "appfile");
    } else if (is_check(e->ctrl_type)) {
      dialog->set_check(e->ctrl_ID, e->boolean());
    } else {
      fill_combo(dialog, e);
      dialog->set_selection(e->ctrl_ID, e->num());
    }
    if (enable) {
      if (e->enabled == 1) dialog->enable(e->ctrl_ID, true);
      else if (e->enabled == 0) dialog->enable(e->ctrl_ID, false);
    }
  }
}

bool KVDLGSTORE::from_dialog(DLGSURFACE* dialog) {
  int n = count();
  FIELD_TEXT text;
  for (int i = 0; i < n; ++i) {
    KVDLGFIELD* e = at(i);
    if (!e || skipped(dialog, e) || e->enabled == 0 || !is_edit(e->ctrl_type)) continue;
    read_text(dialog, e->ctrl_ID, text);
    bool numeric = e->ctrl_type != CTRL_TEXT;
    bool with_def = e->def[0] != 0;
    if (numeric && !text[0]) {
      if (dialog->is_enabled(e->ctrl_ID) && e->min[0] && e->max[0]) {
        if (with_def)
          reportf(4, "%s invalid: enter a value from %s to %s (default = %s)", e->label, e->min, e->max, e->def);
        else
          reportf(4, "%s invalid: enter a value from %s to %s", e->label, e->min, e->max);
        dialog->set_focus(e->ctrl_ID);
        return false;
      }
      continue;
    }
    if (e->ctrl_type == CTRL_INT) {
      if (!integer_chars(text)) {
        if (with_def)
          reportf(4, "%s must be an integer value from %s to %s (default = %s)", e->label, e->min, e->max, e->def);
        else
          reportf(4, "%s must be an integer value from %s to %s", e->label, e->min, e->max);
        dialog->set_focus(e->ctrl_ID);
        return false;
      }
      normalise_in_place(text);
    }
    if (e->range_check(text)) {
      if (with_def)
        reportf(4, "%s out of range (%s): enter a value from %s to %s (default = %s)", e->label, text, e->min,
                e->max, e->def);
      else
        reportf(4, "%s out of range (%s): enter a value from %s to %s", e->label, text, e->min, e->max);
      dialog->set_focus(e->ctrl_ID);
      return false;
    }
  }

  for (int i = 0; i < n; ++i) {
    KVDLGFIELD* e = at(i);
    if (!e || skipped(dialog, e) || e->enabled == 0) continue;
    bool stored = true;
    if (e->ctrl_type == CTRL_COMBO) {
      stored = e->set_num(dialog->get_selection(e->ctrl_ID));
    } else if (is_check(e->ctrl_type)) {
      stored = put(e->key, dialog->get_check(e->ctrl_ID) ? "True" : "False");
    } else if (is_edit(e->ctrl_type)) {
      read_text(dialog, e->ctrl_ID, text);
      // An empty integer field stays empty, so that the next showing puts
      // the default in rather than clamping a zero.
      if (e->ctrl_type == CTRL_INT && text[0]) normalise_in_place(text);
      stored = put(e->key, text);
    }
    if (!stored) return false;
  }
  return true;
}
