// Helpers shared by the blocks of this folder.
#pragma once
#include <cstdint>

#include "drivers/shared/comblock/comblock.h"

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

// The time limits of a read, checked before each byte: the overall time-out
// (timeout_ms <= 0: none) and, once bytes came, the quiet gap since the last
// one. Answers the result that ends the read, or 0 to go on.
inline int comblock_read_limit(uint32_t now, uint32_t start, uint32_t last, int count, int timeout_ms,
                               int dropout_msec) {
  if (timeout_ms > 0 && comblock_elapsed_over(now, start, timeout_ms)) return count > 0 ? RX_DROPOUT : RX_TIMEOUT;
  if (count > 0 && comblock_elapsed_over(now, last, dropout_msec)) return RX_DROPOUT;
  return 0;
}

// Stores one received byte, testing it against the terminator (compared on
// its low 8 bits; -1 is none), the receive area's size and max_count (-1:
// none). The area holds RECV_AREA_SIZE bytes. Answers the result that ends the read, or 0 to read on.
inline int comblock_take_byte(uint8_t* area, int* count, uint8_t byte, int terminator, int max_count) {
  area[(*count)++] = byte;
  if (terminator != -1 && byte == static_cast<uint8_t>(terminator)) return RX_TERMINATED;
  if (*count >= RECV_AREA_SIZE) return RX_FULL;
  if (max_count >= 0 && *count >= max_count) return RX_COUNT;
  return 0;
}

// How long a read may wait for the next byte: one slice of dropout_msec (at
// least 1 ms, so a zero gap never spins), cut short so that the overall
// time-out and the quiet gap are noticed when they fall due rather than up
// to a slice later.
inline int comblock_wait_ms(uint32_t now, uint32_t start, uint32_t last, int count, int timeout_ms,
                            int dropout_msec) {
  int wait = dropout_msec > 0 ? dropout_msec : 1;
  if (timeout_ms > 0) {
    int left = timeout_ms - static_cast<int>(now - start) + 1;
    if (left < wait) wait = left;
  }
  if (count > 0) {
    int left = dropout_msec - static_cast<int>(now - last) + 1;
    if (left < wait) wait = left;
  }
  return wait < 1 ? 1 : wait;
}
