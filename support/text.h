// Text helpers shared by the core. Letter case is folded for A-Z only, as
// the store, the counter's replies and the dialog's lists need, whatever the
// process locale says.
#pragma once

inline char text_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

inline bool text_starts_with_nocase(const char* text, const char* prefix) {
  for (; *prefix; prefix++, text++) {
    if (text_lower(*text) != text_lower(*prefix)) return false;
  }
  return true;
}

// Like strcmp with letter case folded: negative, zero or positive.
inline int text_compare_nocase(const char* a, const char* b) {
  for (; *a && *b; a++, b++) {
    char x = text_lower(*a), y = text_lower(*b);
    if (x != y) return static_cast<unsigned char>(x) - static_cast<unsigned char>(y);
  }
  return static_cast<unsigned char>(text_lower(*a)) - static_cast<unsigned char>(text_lower(*b));
}

inline bool text_equal_nocase(const char* a, const char* b) { return text_compare_nocase(a, b) == 0; }
