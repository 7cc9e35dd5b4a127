// Threads.
#pragma once
#include <cstddef>
#include <cstdint>

typedef struct PLAT_THREAD_IMPL* PLAT_THREAD;
typedef uint32_t (*PLAT_THREAD_FN)(void* arg);

// Starts fn(arg) on a new thread with at least stack_size bytes of stack
// (0: the platform's default). Answers null when the thread cannot start.
PLAT_THREAD plat_thread_start(PLAT_THREAD_FN fn, void* arg, size_t stack_size);

// Waits up to timeout_ms (negative: forever) for the thread to end. Answers
// true when it ended; the handle is then released and must not be used
// again. On false the handle stays valid.
bool plat_thread_join(PLAT_THREAD thread, int timeout_ms);

// Gives up the handle without waiting; the thread's resources are freed
// when it ends.
void plat_thread_detach(PLAT_THREAD thread);

// Whether the thread has ended (never blocks).
bool plat_thread_done(PLAT_THREAD thread);

// Names the calling thread for debuggers and process listings (cut to what
// the system keeps, 15 characters on Linux).
void plat_name_current_thread(const char* name);

// Whether a debugger is attached to this process.
bool plat_debugger_present();
