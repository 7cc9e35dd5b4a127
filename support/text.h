// Text helpers shared by the core. Letter case is folded for A-Z only, as
// the store, the counter's replies and the dialog's lists need, whatever the
// process locale says.
#pragma once
#include <cstddef>

// White space as the POSIX locale has it: space, tab, line feed, vertical
// tab, form feed and carriage return.
inline bool text_is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Copies text (null: empty) into out, cut to fit size bytes with its
// terminator.
inline void text_copy(char* out, size_t size, const char* text) {
  if (size == 0) return;
  size_t n = 0;
  if (text) {
    for (; text[n] && n + 1 < size; ++n) out[n] = text[n];
  }
  out[n] = '\0';
}

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
