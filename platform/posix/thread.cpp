#include "platform/thread.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <pthread.h>

struct PLAT_THREAD_IMPL {
  pthread_t tid;
  PLAT_THREAD_FN fn;
  void* arg;
  std::atomic<bool> done{false};
};

namespace {
void* trampoline(void* p) {
  auto* t = static_cast<PLAT_THREAD_IMPL*>(p);
  t->fn(t->arg);
  t->done.store(true, std::memory_order_release);
  return nullptr;
}
}  // namespace

PLAT_THREAD plat_thread_start(PLAT_THREAD_FN fn, void* arg, size_t stack_size) {
  auto* t = new (std::nothrow) PLAT_THREAD_IMPL;
  if (!t) return nullptr;
  t->fn = fn;
  t->arg = arg;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  if (stack_size) pthread_attr_setstacksize(&attr, stack_size);
  int rc = pthread_create(&t->tid, &attr, trampoline, t);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete t;
    return nullptr;
  }
  return t;
}

bool plat_thread_join(PLAT_THREAD t, int timeout_ms) {
  if (!t) return true;
  if (timeout_ms < 0) {
    pthread_join(t->tid, nullptr);
  } else {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    ts.tv_sec += timeout_ms / 1000;
    ts.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) {
      ts.tv_sec++;
      ts.tv_nsec -= 1000000000L;
    }
    if (pthread_timedjoin_np(t->tid, nullptr, &ts) != 0) return false;
  }
  delete t;
  return true;
}

bool plat_thread_done(PLAT_THREAD t) { return !t || t->done.load(std::memory_order_acquire); }

void plat_thread_detach(PLAT_THREAD t) {
  if (!t) return;
  // The record must outlive the thread, which still writes its done flag;
  // a detached record is small and leaked on purpose.
  pthread_detach(t->tid);
}

void plat_name_current_thread(const char* name) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%s", name ? name : "");
  pthread_setname_np(pthread_self(), buf);
}

bool plat_debugger_present() {
  FILE* f = std::fopen("/proc/self/status", "r");
  if (!f) return false;
  char line[256];
  bool traced = false;
  while (std::fgets(line, sizeof line, f)) {
    if (std::strncmp(line, "TracerPid:", 10) == 0) {
      traced = std::atoi(line + 10) != 0;
      break;
    }
  }
  std::fclose(f);
  return traced;
}
