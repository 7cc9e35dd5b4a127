// Helpers shared by the blocks of this folder.
#pragma once

// system_error_box with the description given instead of the last error's
// (null or empty: "Hosed").
void comblock_error_box_text(const char* description, const char* format, ...);

// Copies text into the caller's failure buffer of size bytes, cut to fit.
void comblock_set_error_text(char* error_text, int size, const char* text);

// Whether a tick count has moved more than limit milliseconds past since;
// ticks wrap, so the difference is read as a signed number.
inline bool comblock_elapsed_over(unsigned now, unsigned since, int limit) {
  return static_cast<int>(now - since) > limit;
}
