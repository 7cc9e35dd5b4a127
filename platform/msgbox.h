// Modal message boxes.
//
// The core shows every message box through plat_message_box. On a desktop
// the backend shows a real box; where there is no desktop (POSIX, tests) a
// handler decides. The default handler writes "[caption] text" to standard
// error and answers PLAT_IDOK at once, so that nothing ever waits for a
// person who is not there.
#pragma once

enum {
  PLAT_MB_OK = 0x0,
  PLAT_MB_ICONINFORMATION = 0x40,
};
enum { PLAT_IDOK = 1 };

typedef int (*PLAT_MSGBOX_HANDLER)(const char* text, const char* caption, unsigned flags, void* user);

// Shows text with caption; blocks until answered; answers the button pressed.
// Safe to call from any thread; null texts count as empty.
int plat_message_box(const char* text, const char* caption, unsigned flags);

// Installs a handler for this module's message boxes (null restores the
// default). Answers the previous handler. Not synchronised with boxes being
// shown: install before the threads that may show them start.
PLAT_MSGBOX_HANDLER plat_set_message_box_handler(PLAT_MSGBOX_HANDLER handler, void* user);
