// The store and its entries are read by the host through their binary
// layout, so the layout is checked at compile time. The 32-bit Windows host
// is recognised by 4-byte pointers with 8-byte aligned doubles (mingw and
// MSVC; 32-bit Linux aligns doubles to 4); the entry holds no double, so
// the same figures hold on any 32-bit target that passes.
#include <cstddef>

#include "kvstore/kvstore.h"

namespace {

constexpr bool win32_host = sizeof(void*) == 4 && alignof(double) == 8;
constexpr bool ptr64_host = sizeof(void*) == 8;

static_assert(!win32_host || sizeof(KVSTORE<KVDLGFIELD>) == 1184, "store size");
static_assert(!win32_host || sizeof(KVBASE) == 1184, "driver store size");
static_assert(!win32_host || offsetof(HASHLIST, buckets) == 0, "buckets");
static_assert(!win32_host || offsetof(HASHLIST, entries) == 124, "entry list");
static_assert(!win32_host || offsetof(HASHLIST, free_list) == 136, "free list");
static_assert(!win32_host || offsetof(HASHLIST, cursor_pos) == 148, "cursor position");
static_assert(!win32_host || offsetof(HASHLIST, cursor_entry) == 152, "cursor entry");
static_assert(!win32_host || sizeof(HASHLIST) == 156, "container size");
static_assert(!win32_host || sizeof(DLIST) == 12, "list size");

static_assert(!win32_host || sizeof(KVDLGFIELD) == 6208, "entry size");
static_assert(!win32_host || offsetof(KVDLGFIELD, bucket) == 0, "bucket");
static_assert(!win32_host || offsetof(KVDLGFIELD, hash_next) == 4, "hash_next");
static_assert(!win32_host || offsetof(KVDLGFIELD, hash_prev) == 8, "hash_prev");
static_assert(!win32_host || offsetof(KVDLGFIELD, next) == 12, "next");
static_assert(!win32_host || offsetof(KVDLGFIELD, prev) == 16, "prev");
static_assert(!win32_host || offsetof(KVDLGFIELD, in_use) == 20, "in_use");
static_assert(!win32_host || offsetof(KVDLGFIELD, key) == 24, "key");
static_assert(!win32_host || offsetof(KVDLGFIELD, value) == 28, "value");
static_assert(!win32_host || offsetof(KVDLGFIELD, flags) == 32, "flags");
static_assert(!win32_host || offsetof(KVDLGFIELD, type) == 36, "type");
static_assert(!win32_host || offsetof(KVDLGFIELD, attr) == 40, "attr");
static_assert(!win32_host || offsetof(KVDLGFIELD, aux) == 44, "aux");
static_assert(!win32_host || offsetof(KVDLGFIELD, binding) == 48, "binding");
static_assert(!win32_host || offsetof(KVDLGFIELD, ctrl_type) == 52, "ctrl_type");
static_assert(!win32_host || offsetof(KVDLGFIELD, ctrl_ID) == 56, "ctrl_ID");
static_assert(!win32_host || offsetof(KVDLGFIELD, label) == 60, "label");
static_assert(!win32_host || offsetof(KVDLGFIELD, choices) == 572, "choices");
static_assert(!win32_host || offsetof(KVDLGFIELD, min) == 4668, "min");
static_assert(!win32_host || offsetof(KVDLGFIELD, max) == 5180, "max");
static_assert(!win32_host || offsetof(KVDLGFIELD, def) == 5692, "def");
static_assert(!win32_host || offsetof(KVDLGFIELD, enabled) == 6204, "enabled");

// 64-bit builds (the Linux host, Windows x64 under Wine) share one natural
// layout: pointers on 8-byte boundaries, the texts packed behind them.
static_assert(!ptr64_host || sizeof(KVSTORE<KVDLGFIELD>) == 8 + 248 + 24 + 24 + 16 + 1024, "store size");
static_assert(!ptr64_host || offsetof(KVDLGFIELD, key) == 48, "key");
static_assert(!ptr64_host || offsetof(KVDLGFIELD, binding) == 80, "binding");
static_assert(!ptr64_host || offsetof(KVDLGFIELD, label) == 96, "label");
static_assert(!ptr64_host || offsetof(KVDLGFIELD, enabled) == 6240, "enabled");
static_assert(!ptr64_host || sizeof(KVDLGFIELD) == 6248, "entry size");

// Nothing may be inserted between the layers of an entry on any target.
static_assert(offsetof(KVDLGFIELD, choices) == offsetof(KVDLGFIELD, label) + 512, "label width");
static_assert(offsetof(KVDLGFIELD, min) == offsetof(KVDLGFIELD, choices) + 4096, "choices width");
static_assert(offsetof(KVDLGFIELD, max) == offsetof(KVDLGFIELD, min) + 512, "min width");
static_assert(offsetof(KVDLGFIELD, def) == offsetof(KVDLGFIELD, max) + 512, "max width");
static_assert(offsetof(KVDLGFIELD, enabled) == offsetof(KVDLGFIELD, def) + 512, "def width");

}  // namespace
