#include "platform/console.h"

// Standard output already is the debug console on POSIX: the host's
// terminal, or wherever the host redirected it.
void plat_attach_debug_console() {}
