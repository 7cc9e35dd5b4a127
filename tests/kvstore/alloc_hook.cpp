// Replaces the nothrow forms of operator new, which the store uses for every
// node and text, with counting versions that can be told to fail.
#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>
#include <new>

#include "kv_fixture.h"

namespace {
std::atomic<bool> g_armed{false};
std::atomic<long> g_count{0};
std::atomic<long> g_fail_at{-1};
long g_sizes[8];
size_t g_size_keys[8];
int g_size_slots = 0;
std::mutex g_lock;

void note_size(size_t size) {
  std::lock_guard<std::mutex> hold(g_lock);
  for (int i = 0; i < g_size_slots; ++i)
    if (g_size_keys[i] == size) {
      ++g_sizes[i];
      return;
    }
  if (g_size_slots < 8) {
    g_size_keys[g_size_slots] = size;
    g_sizes[g_size_slots++] = 1;
  }
}

void* watched(size_t size, bool array) {
  if (g_armed.load()) {
    long n = g_count.fetch_add(1);
    if (n == g_fail_at.load()) return nullptr;
    if (size > 4096) note_size(size);
  }
  try {
    return array ? ::operator new[](size) : ::operator new(size);
  } catch (...) {
    return nullptr;
  }
}
}  // namespace

void ALLOC_WATCH::start(long fail_at) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_count = 0;
  g_fail_at = fail_at;
  g_size_slots = 0;
  g_armed = true;
}
void ALLOC_WATCH::stop() { g_armed = false; }
long ALLOC_WATCH::count() { return g_count.load(); }
long ALLOC_WATCH::count_of_size(size_t size) {
  std::lock_guard<std::mutex> hold(g_lock);
  for (int i = 0; i < g_size_slots; ++i)
    if (g_size_keys[i] == size) return g_sizes[i];
  return 0;
}

void* operator new(size_t size, const std::nothrow_t&) noexcept { return watched(size, false); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return watched(size, true); }
