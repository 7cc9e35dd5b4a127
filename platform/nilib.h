// What the NI-488.2 binding needs to know about the operating system: the
// library's file name, the exported names of its entries and status
// variables, and the suppression of system error dialogs while it looks for
// boards.
#pragma once
#include <cstddef>

// The library's calling convention. A 32-bit Windows build defines it as
// __stdcall on the compiler's command line; everywhere else the C default
// is right.
#ifndef PLAT_NI_CALL
#define PLAT_NI_CALL
#endif

// The name plat_lib_open loads the library by ("GPIB-32.DLL" on Windows,
// the soname "libgpib.so.0" on POSIX).
const char* plat_ni_library_name();

// The name under which the library exports an entry, given its Windows
// name. POSIX libraries drop the "A" of the narrow-text entries ("ibfindA"
// answers "ibfind"); other names come back unchanged. The answer is written
// to buf (always terminated, cut to size - 1) and buf is answered.
const char* plat_ni_entry_name(const char* windows_name, char* buf, size_t size);

enum {
  PLAT_NI_STATUS_WORD = 0,  // int: the status word
  PLAT_NI_ERROR_CODE = 1,   // int: the error code
  PLAT_NI_COUNT_LONG = 2,   // long: the byte count of the last transfer
};
// The exported name of one of the library's status variables
// ("user_ibsta", "user_iberr", "user_ibcntl" on Windows; "ibsta", "iberr",
// "ibcntl" on POSIX).
const char* plat_ni_status_name(int which);

// Keeps the system from showing critical-error and missing-file dialogs
// while the library is loaded and searches for boards; answers what
// plat_ni_quiet_errors_end needs to restore the previous setting. POSIX has
// no such dialogs: both calls do nothing (begin answers 0).
unsigned plat_ni_quiet_errors_begin();
void plat_ni_quiet_errors_end(unsigned previous);
