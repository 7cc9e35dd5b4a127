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
#include <cwchar>

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

typedef unsigned short Addr4882_t;
typedef void* GPIB_NOTIFY_CALLBACK;

// Every entry of the library, with the library's own name and arguments.
// X(name, parameters, arguments).

// Entries that answer a descriptor, -1 when they cannot reach the library.
#define U62_NI_DESCRIPTOR_ENTRIES(X)                                            \
  X(ibdev, (int board_index, int pad, int sad, int tmo, int eot, int eos),     \
    (board_index, pad, sad, tmo, eot, eos))                                    \
  X(ibexpert, (int ud, int option, void* input, void* output), (ud, option, input, output)) \
  X(ibfindA, (const char* name), (name))                                       \
  X(ibfindW, (const wchar_t* name), (name))

// Entries that answer the status word; ibsta (with ERR) when they cannot
// reach the library.
#define U62_NI_STATUS_ENTRIES(X)                                                           \
  X(ibask, (int ud, int option, int* value), (ud, option, value))                          \
  X(ibbnaA, (int ud, const char* board_name), (ud, board_name))                            \
  X(ibbnaW, (int ud, const wchar_t* board_name), (ud, board_name))                         \
  X(ibcac, (int ud, int synchronous), (ud, synchronous))                                   \
  X(ibclr, (int ud), (ud))                                                                 \
  X(ibcmd, (int ud, const void* commands, long count), (ud, commands, count))              \
  X(ibcmda, (int ud, const void* commands, long count), (ud, commands, count))             \
  X(ibconfig, (int ud, int option, int value), (ud, option, value))                        \
  X(ibdiag, (int ud, void* buffer, long count), (ud, buffer, count))                       \
  X(ibdma, (int ud, int on), (ud, on))                                                     \
  X(ibeos, (int ud, int eos), (ud, eos))                                                   \
  X(ibeot, (int ud, int eot), (ud, eot))                                                   \
  X(ibevent, (int ud, short* event), (ud, event))                                          \
  X(ibeventx, (int ud, short* event), (ud, event))                                         \
  X(ibgts, (int ud, int handshake), (ud, handshake))                                       \
  X(ibist, (int ud, int status), (ud, status))                                             \
  X(iblck, (int ud, int lock, unsigned int wait_ms, void* reserved), (ud, lock, wait_ms, reserved)) \
  X(iblines, (int ud, short* lines), (ud, lines))                                          \
  X(ibln, (int ud, int pad, int sad, short* listener), (ud, pad, sad, listener))           \
  X(ibloc, (int ud), (ud))                                                                 \
  X(ibnotify, (int ud, int mask, GPIB_NOTIFY_CALLBACK callback, void* data), (ud, mask, callback, data)) \
  X(ibonl, (int ud, int online), (ud, online))                                             \
  X(ibpad, (int ud, int pad), (ud, pad))                                                   \
  X(ibpct, (int ud), (ud))                                                                 \
  X(ibpoke, (int ud, long option, long value), (ud, option, value))                        \
  X(ibppc, (int ud, int command), (ud, command))                                           \
  X(ibrd, (int ud, void* buffer, long count), (ud, buffer, count))                         \
  X(ibrda, (int ud, void* buffer, long count), (ud, buffer, count))                        \
  X(ibrdfA, (int ud, const char* file_name), (ud, file_name))                              \
  X(ibrdfW, (int ud, const wchar_t* file_name), (ud, file_name))                           \
  X(ibrdkey, (int ud, void* buffer, int count), (ud, buffer, count))                       \
  X(ibrpp, (int ud, char* response), (ud, response))                                       \
  X(ibrsc, (int ud, int system_controller), (ud, system_controller))                       \
  X(ibrsp, (int ud, char* status_byte), (ud, status_byte))                                 \
  X(ibrsv, (int ud, int status_byte), (ud, status_byte))                                   \
  X(ibsad, (int ud, int sad), (ud, sad))                                                   \
  X(ibsic, (int ud), (ud))                                                                 \
  X(ibsre, (int ud, int remote_enable), (ud, remote_enable))                               \
  X(ibstop, (int ud), (ud))                                                                \
  X(ibtmo, (int ud, int tmo), (ud, tmo))                                                   \
  X(ibtrg, (int ud), (ud))                                                                 \
  X(ibwait, (int ud, int mask), (ud, mask))                                                \
  X(ibwrt, (int ud, const void* data, long count), (ud, data, count))                      \
  X(ibwrta, (int ud, const void* data, long count), (ud, data, count))                     \
  X(ibwrtfA, (int ud, const char* file_name), (ud, file_name))                             \
  X(ibwrtfW, (int ud, const wchar_t* file_name), (ud, file_name))                          \
  X(ibwrtkey, (int ud, void* buffer, int count), (ud, buffer, count))                      \
  X(iblockxA, (int ud, int wait_ms, const char* share_name), (ud, wait_ms, share_name))    \
  X(iblockxW, (int ud, int wait_ms, const wchar_t* share_name), (ud, wait_ms, share_name)) \
  X(ibunlockx, (int ud), (ud))                                                             \
  X(iblock, (int ud), (ud))                                                                \
  X(ibunlock, (int ud), (ud))

// The 488.2 routines, which answer nothing.
#define U62_NI_ROUTINE_ENTRIES(X)                                                                         \
  X(AllSpoll, (int board, const Addr4882_t* list, short* results), (board, list, results))               \
  X(DevClear, (int board, Addr4882_t address), (board, address))                                          \
  X(DevClearList, (int board, const Addr4882_t* list), (board, list))                                     \
  X(EnableLocal, (int board, const Addr4882_t* list), (board, list))                                      \
  X(EnableRemote, (int board, const Addr4882_t* list), (board, list))                                     \
  X(FindLstn, (int board, const Addr4882_t* list, Addr4882_t* found, int limit), (board, list, found, limit)) \
  X(FindRQS, (int board, const Addr4882_t* list, short* status), (board, list, status))                   \
  X(PPoll, (int board, short* result), (board, result))                                                   \
  X(PPollConfig, (int board, Addr4882_t address, int line, int sense), (board, address, line, sense))     \
  X(PPollUnconfig, (int board, const Addr4882_t* list), (board, list))                                    \
  X(PassControl, (int board, Addr4882_t address), (board, address))                                       \
  X(RcvRespMsg, (int board, void* buffer, long count, int termination), (board, buffer, count, termination)) \
  X(ReadStatusByte, (int board, Addr4882_t address, short* result), (board, address, result))             \
  X(Receive, (int board, Addr4882_t address, void* buffer, long count, int termination),                  \
    (board, address, buffer, count, termination))                                                         \
  X(ReceiveSetup, (int board, Addr4882_t address), (board, address))                                      \
  X(ResetSys, (int board, const Addr4882_t* list), (board, list))                                         \
  X(Send, (int board, Addr4882_t address, const void* data, long count, int eot_mode),                    \
    (board, address, data, count, eot_mode))                                                              \
  X(SendCmds, (int board, const void* commands, long count), (board, commands, count))                   \
  X(SendDataBytes, (int board, const void* data, long count, int eot_mode), (board, data, count, eot_mode)) \
  X(SendIFC, (int board), (board))                                                                        \
  X(SendLLO, (int board), (board))                                                                        \
  X(SendList, (int board, const Addr4882_t* list, const void* data, long count, int eot_mode),            \
    (board, list, data, count, eot_mode))                                                                 \
  X(SendSetup, (int board, const Addr4882_t* list), (board, list))                                        \
  X(SetRWLS, (int board, const Addr4882_t* list), (board, list))                                          \
  X(TestSRQ, (int board, short* result), (board, result))                                                 \
  X(TestSys, (int board, const Addr4882_t* list, short* results), (board, list, results))                 \
  X(Trigger, (int board, Addr4882_t address), (board, address))                                           \
  X(TriggerList, (int board, const Addr4882_t* list), (board, list))                                      \
  X(WaitSRQ, (int board, short* result), (board, result))

#define U62_NI_DECLARE_INT(name, params, args) int name params;
#define U62_NI_DECLARE_VOID(name, params, args) void name params;
U62_NI_DESCRIPTOR_ENTRIES(U62_NI_DECLARE_INT)
U62_NI_STATUS_ENTRIES(U62_NI_DECLARE_INT)
U62_NI_ROUTINE_ENTRIES(U62_NI_DECLARE_VOID)
#undef U62_NI_DECLARE_INT
#undef U62_NI_DECLARE_VOID

// The board lookup under the name callers know: a board descriptor, or -1
// when there is no board of that name ("GPIB0").
inline int ibfind(const char* name) { return ibfindA(name); }

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
