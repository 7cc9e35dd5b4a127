#include "platform/msgbox.h"

#include <atomic>
#include <cstdio>

namespace {
int stderr_box(const char* text, const char* caption, unsigned, void*) {
  // One write per box so that boxes from several threads do not interleave.
  std::fprintf(stderr, "[%s] %s\n", caption ? caption : "", text ? text : "");
  std::fflush(stderr);
  return PLAT_IDOK;
}
std::atomic<PLAT_MSGBOX_HANDLER> g_handler{stderr_box};
std::atomic<void*> g_user{nullptr};
}  // namespace

int plat_message_box(const char* text, const char* caption, unsigned flags) {
  return g_handler.load()(text ? text : "", caption ? caption : "", flags, g_user.load());
}

PLAT_MSGBOX_HANDLER plat_set_message_box_handler(PLAT_MSGBOX_HANDLER handler, void* user) {
  g_user.store(user);
  PLAT_MSGBOX_HANDLER old = g_handler.exchange(handler ? handler : stderr_box);
  return old == stderr_box ? nullptr : old;
}
