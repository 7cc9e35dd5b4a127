// The calling thread's last system error.
#pragma once
#include <cstddef>

// The last error code of the calling thread (errno on POSIX, GetLastError
// on Windows).
int plat_last_error();

// Sets the calling thread's last error code.
void plat_set_last_error(int code);

// Writes the system's description of the calling thread's last error into
// buf (always terminated, cut to size - 1). Answers false, leaving buf
// empty, when the code is 0 or the system has no text for it; callers then
// use their own fallback text.
bool plat_last_error_text(char* buf, size_t size);
