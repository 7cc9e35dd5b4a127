// Loading a library at run time and finding its symbols.
#pragma once

typedef void* PLAT_LIB;

// Loads the library by name, searching the system's usual places (the
// loader path on POSIX). Answers null when it cannot be loaded; the last
// system error then says why where the system keeps one.
PLAT_LIB plat_lib_open(const char* name);

// Answers the address of the symbol (function or variable), or null.
void* plat_lib_symbol(PLAT_LIB lib, const char* name);

// Releases a library opened by plat_lib_open; null is ignored.
void plat_lib_close(PLAT_LIB lib);

// The handle of the module that contains this code (the driver module when
// linked into it, the program otherwise).
PLAT_LIB plat_this_module();
