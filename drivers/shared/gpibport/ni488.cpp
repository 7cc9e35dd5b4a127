#include "drivers/shared/gpibport/ni488.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/dynlib.h"
#include "platform/nilib.h"
#include "platform/syserror.h"

namespace ni488 {

int ibsta = 0;
int iberr = 0;
int ibcnt = 0;
long ibcntl = 0;

namespace {

PLAT_LIB g_library = nullptr;
int* g_user_ibsta = nullptr;
int* g_user_iberr = nullptr;
long* g_user_ibcntl = nullptr;
bool g_reached = false;

// The library stays loaded for the module's life once it has its status
// variables; this object lets it go when the module goes.
struct LIBRARY_RELEASE {
  ~LIBRARY_RELEASE() {
    if (g_library) plat_lib_close(g_library);
    g_library = nullptr;
    g_user_ibsta = g_user_iberr = nullptr;
    g_user_ibcntl = nullptr;
  }
} g_release;

void binding_failure() {
  int code = plat_last_error();
  g_reached = false;
  ibsta = ERR;
  iberr = EDVR;
  ibcnt = code;
  ibcntl = code;
}

bool load_library() {
  if (g_library) return true;
  PLAT_LIB lib = plat_lib_open(plat_ni_library_name());
  if (!lib) return false;
  void* sta = plat_lib_symbol(lib, plat_ni_status_name(PLAT_NI_STATUS_WORD));
  void* err = plat_lib_symbol(lib, plat_ni_status_name(PLAT_NI_ERROR_CODE));
  void* cnt = plat_lib_symbol(lib, plat_ni_status_name(PLAT_NI_COUNT_LONG));
  if (!sta || !err || !cnt) {
    plat_lib_close(lib);
    return false;
  }
  g_user_ibsta = static_cast<int*>(sta);
  g_user_iberr = static_cast<int*>(err);
  g_user_ibcntl = static_cast<long*>(cnt);
  g_library = lib;
  return true;
}

// A failed load is tried again at the next call, so that a library
// installed while the host runs is found without a restart.
void* resolve_entry(const char* name) {
  if (!load_library()) {
    binding_failure();
    return nullptr;
  }
  char exported[64];
  void* entry = plat_lib_symbol(g_library, plat_ni_entry_name(name, exported, sizeof exported));
  if (!entry) binding_failure();
  return entry;
}

void copy_status() {
  g_reached = true;
  ibsta = *g_user_ibsta;
  iberr = *g_user_iberr;
  ibcntl = *g_user_ibcntl;
  ibcnt = static_cast<int>(ibcntl);
}

// Entries are bound once; an entry that could not be bound is looked up
// again on its next call.
template <typename FN>
FN bound(FN& slot, const char* name) {
  if (!slot) slot = reinterpret_cast<FN>(resolve_entry(name));
  return slot;
}

// One slot per entry, bound on its first call.
#define U62_NI_SLOT_INT(name, params, args) \
  typedef int(PLAT_NI_CALL* name##_fn) params; \
  name##_fn e_##name;
#define U62_NI_SLOT_VOID(name, params, args) \
  typedef void(PLAT_NI_CALL* name##_fn) params; \
  name##_fn e_##name;
U62_NI_DESCRIPTOR_ENTRIES(U62_NI_SLOT_INT)
U62_NI_STATUS_ENTRIES(U62_NI_SLOT_INT)
U62_NI_ROUTINE_ENTRIES(U62_NI_SLOT_VOID)
#undef U62_NI_SLOT_INT
#undef U62_NI_SLOT_VOID

typedef int(PLAT_NI_CALL* FN_VOID_INT)();
typedef long(PLAT_NI_CALL* FN_VOID_LONG)();
FN_VOID_INT e_ThreadIbsta, e_ThreadIberr, e_ThreadIbcnt;
FN_VOID_LONG e_ThreadIbcntl;

}  // namespace

#define U62_NI_DEFINE_DESCRIPTOR(name, params, args) \
  int name params {                                  \
    auto fn = bound(e_##name, #name);                \
    if (!fn) return -1;                              \
    int result = fn args;                            \
    copy_status();                                   \
    return result;                                   \
  }
#define U62_NI_DEFINE_STATUS(name, params, args) \
  int name params {                              \
    auto fn = bound(e_##name, #name);            \
    if (!fn) return ibsta;                       \
    int result = fn args;                        \
    copy_status();                               \
    return result;                               \
  }
#define U62_NI_DEFINE_ROUTINE(name, params, args) \
  void name params {                              \
    auto fn = bound(e_##name, #name);             \
    if (!fn) return;                              \
    fn args;                                      \
    copy_status();                                \
  }
U62_NI_DESCRIPTOR_ENTRIES(U62_NI_DEFINE_DESCRIPTOR)
U62_NI_STATUS_ENTRIES(U62_NI_DEFINE_STATUS)
U62_NI_ROUTINE_ENTRIES(U62_NI_DEFINE_ROUTINE)
#undef U62_NI_DEFINE_DESCRIPTOR
#undef U62_NI_DEFINE_STATUS
#undef U62_NI_DEFINE_ROUTINE

// The per-thread status goes straight to the library; the copies are left
// alone because they describe the last call of any thread.
int ThreadIbsta() {
  auto fn = bound(e_ThreadIbsta, "ThreadIbsta");
  return fn ? fn() : ibsta;
}
int ThreadIberr() {
  auto fn = bound(e_ThreadIberr, "ThreadIberr");
  return fn ? fn() : iberr;
}
int ThreadIbcnt() {
  auto fn = bound(e_ThreadIbcnt, "ThreadIbcnt");
  return fn ? fn() : ibcnt;
}
long ThreadIbcntl() {
  auto fn = bound(e_ThreadIbcntl, "ThreadIbcntl");
  return fn ? fn() : ibcntl;
}

bool last_call_reached_library() { return g_reached; }

int timeout_code(int ms) {
  // Each value lies a little above its code's nominal time-out, so that a
  // request up to it still gets that time-out.
  static const int limits[18] = {-1, 1, 1, 1, 1, 1, 4, 12, 35, 120, 350, 1200, 3500, 12000, 35000, 120000, 350000,
                                 1200000};
  for (int i = 0; i < 18; ++i) {
    if (limits[i] >= ms) return i;
  }
  return 0;
}

namespace {
void append(char* buf, size_t size, const char* format, ...) __attribute__((format(printf, 3, 4)));
void append(char* buf, size_t size, const char* format, ...) {
  size_t used = std::strlen(buf);
  if (used + 1 >= size) return;
  va_list args;
  va_start(args, format);
  std::vsnprintf(buf + used, size - used, format, args);
  va_end(args);
}
}  // namespace

void append_status_report(char* buf, size_t size) {
  if (!buf || size == 0) return;
  static const struct {
    int bit;
    const char* name;
  } bits[] = {{ERR, " ERR"},   {TIMO, " TIMO"}, {END, " END"},   {SRQI, " SRQI"}, {RQS, " RQS"},
              {CMPL, " CMPL"}, {LOK, " LOK"},   {REM, " REM"},   {CIC, " CIC"},   {ATN, " ATN"},
              {TACS, " TACS"}, {LACS, " LACS"}, {DTAS, " DTAS"}, {DCAS, " DCAS"}};
  static const struct {
    int code;
    const char* text;
  } errors[] = {{EDVR, " EDVR <DOS Error>\n"},
                {ECIC, " ECIC <Not Controller-In-Charge>\n"},
                {ENOL, " ENOL <No Listener>\n"},
                {EADR, " EADR <Address error>\n"},
                {EARG, " EARG <Invalid argument>\n"},
                {ESAC, " ESAC <Not System Controller>\n"},
                {EABO, " EABO <Operation aborted>\n"},
                {ENEB, " ENEB <No GPIB board>\n"},
                {EOIP, " EOIP <Async I/O in progress>\n"},
                {ECAP, " ECAP <No capability>\n"},
                {EFSO, " EFSO <File system error>\n"},
                {EBUS, " EBUS <Command error>\n"},
                {ESTB, " ESTB <Status byte lost>\n"},
                {ESRQ, " ESRQ <SRQ stuck on>\n"},
                {ETAB, " ETAB <Table Overflow>\n"}};
  append(buf, size, "ibsta=&H%x  <", ibsta);
  for (const auto& b : bits) {
    if (ibsta & b.bit) append(buf, size, "%s", b.name);
  }
  append(buf, size, " >\n");
  append(buf, size, "iberr=%d ", iberr);
  for (const auto& e : errors) {
    if (e.code == iberr) {
      append(buf, size, "%s", e.text);
      break;
    }
  }
  append(buf, size, "ibcntl=%ld\n", ibcntl);
}

}  // namespace ni488
