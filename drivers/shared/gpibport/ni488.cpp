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

typedef int(PLAT_NI_CALL* FN_S)(const char*);
typedef int(PLAT_NI_CALL* FN_I)(int);
typedef int(PLAT_NI_CALL* FN_II)(int, int);
typedef int(PLAT_NI_CALL* FN_III)(int, int, int);
typedef int(PLAT_NI_CALL* FN_DEV)(int, int, int, int, int, int);
typedef int(PLAT_NI_CALL* FN_WRT)(int, const void*, long);
typedef int(PLAT_NI_CALL* FN_RD)(int, void*, long);
typedef int(PLAT_NI_CALL* FN_RSP)(int, char*);
typedef int(PLAT_NI_CALL* FN_VOID_INT)();
typedef long(PLAT_NI_CALL* FN_VOID_LONG)();

FN_S e_ibfindA;
FN_DEV e_ibdev;
FN_III e_ibconfig;
FN_II e_ibonl;
FN_I e_ibloc;
FN_I e_ibclr;
FN_WRT e_ibwrt;
FN_RD e_ibrd;
FN_II e_ibwait;
FN_RSP e_ibrsp;
FN_VOID_INT e_ThreadIbsta, e_ThreadIberr, e_ThreadIbcnt;
FN_VOID_LONG e_ThreadIbcntl;

}  // namespace

// Functions that answer a descriptor fail with -1; the others with the
// status word, which has ERR set.
#define U62_NI_CALL(slot, name, fail, call) \
  do {                                      \
    auto fn = bound(slot, name);            \
    if (!fn) return fail;                   \
    int result = call;                      \
    copy_status();                          \
    return result;                          \
  } while (0)

int ibfindA(const char* name) { U62_NI_CALL(e_ibfindA, "ibfindA", -1, fn(name)); }
int ibdev(int board_index, int pad, int sad, int tmo, int eot, int eos) {
  U62_NI_CALL(e_ibdev, "ibdev", -1, fn(board_index, pad, sad, tmo, eot, eos));
}
int ibconfig(int ud, int option, int value) { U62_NI_CALL(e_ibconfig, "ibconfig", ibsta, fn(ud, option, value)); }
int ibonl(int ud, int online) { U62_NI_CALL(e_ibonl, "ibonl", ibsta, fn(ud, online)); }
int ibloc(int ud) { U62_NI_CALL(e_ibloc, "ibloc", ibsta, fn(ud)); }
int ibclr(int ud) { U62_NI_CALL(e_ibclr, "ibclr", ibsta, fn(ud)); }
int ibwrt(int ud, const void* data, long count) { U62_NI_CALL(e_ibwrt, "ibwrt", ibsta, fn(ud, data, count)); }
int ibrd(int ud, void* buffer, long count) { U62_NI_CALL(e_ibrd, "ibrd", ibsta, fn(ud, buffer, count)); }
int ibwait(int ud, int mask) { U62_NI_CALL(e_ibwait, "ibwait", ibsta, fn(ud, mask)); }
int ibrsp(int ud, char* status_byte) { U62_NI_CALL(e_ibrsp, "ibrsp", ibsta, fn(ud, status_byte)); }

#undef U62_NI_CALL

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
