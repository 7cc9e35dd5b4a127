// The NI-488.2 library binding. The library is not linked: it is loaded by
// name the first time one of these functions runs and each entry is looked
// up on its first call, so that the driver loads and runs without it. After
// every bound call the library's status variables are copied into ibsta,
// iberr, ibcnt and ibcntl; a call that cannot reach the library leaves ERR
// in ibsta, EDVR in iberr and the system's error code in the counts.
//
// The names live in a namespace of their own so that they never meet the
// library's own exported variables of the same names.
#pragma once
#include <cstddef>

namespace ni488 {

enum {
  ERR = 0x8000,
  TIMO = 0x4000,
  END = 0x2000,
  SRQI = 0x1000,
  RQS = 0x0800,
  CMPL = 0x0100,
  LOK = 0x0080,
  REM = 0x0040,
  CIC = 0x0020,
  ATN = 0x0010,
  TACS = 0x0008,
  LACS = 0x0004,
  DTAS = 0x0002,
  DCAS = 0x0001,
};

enum {
  EDVR = 0,
  ECIC = 1,
  ENOL = 2,
  EADR = 3,
  EARG = 4,
  ESAC = 5,
  EABO = 6,
  ENEB = 7,
  EOIP = 10,
  ECAP = 11,
  EFSO = 12,
  EBUS = 14,
  ESTB = 15,
  ESRQ = 16,
  ETAB = 20,
};

enum {
  IbcPAD = 1,
  IbcSAD = 2,
  IbcTMO = 3,
  IbcEOT = 4,
  IbcAUTOPOLL = 7,
  IbcCICPROT = 8,
  IbcSC = 10,
  IbcEOSrd = 12,
  IbcEOSwrt = 13,
  IbcEOSchar = 15,
  IbcEndBitIsNormal = 26,
  IbcLON = 34,
};

// The driver's copies of the library's status after the last bound call.
extern int ibsta;
extern int iberr;
extern int ibcnt;
extern long ibcntl;

// Board lookup by name ("GPIB0"); -1 when there is no such board.
int ibfindA(const char* name);
inline int ibfind(const char* name) { return ibfindA(name); }
// Device descriptor, or -1 with ERR in ibsta.
int ibdev(int board_index, int pad, int sad, int tmo, int eot, int eos);
int ibconfig(int ud, int option, int value);
int ibonl(int ud, int online);
int ibloc(int ud);
int ibclr(int ud);
int ibwrt(int ud, const void* data, long count);
int ibrd(int ud, void* buffer, long count);
int ibwait(int ud, int mask);
int ibrsp(int ud, char* status_byte);

// The library's per-thread status; the driver's copies when the library
// cannot be reached.
int ThreadIbsta();
int ThreadIberr();
int ThreadIbcnt();
long ThreadIbcntl();

// Whether the last call reached the library. After a binding failure the
// counts hold a system error code, not a number of bytes.
bool last_call_reached_library();

// The library's time-out code for a time-out of ms milliseconds.
int timeout_code(int ms);

// Appends the status report of ibsta, iberr and ibcntl to the text in buf
// (size bytes in all, always terminated, cut when full).
void append_status_report(char* buf, size_t size);

}  // namespace ni488
