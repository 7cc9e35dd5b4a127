// Named interface marks: "this interface is in use".
//
// A mark exists while some holder keeps its handle, in this process or any
// other process of the machine (also across network namespaces), and
// vanishes when the holder closes the handle or dies, however it dies.
// Creating a mark that exists already fails and says so; nobody ever waits
// on a mark.
#pragma once

typedef struct PLAT_MARK_IMPL* PLAT_MARK;

enum PLAT_MARK_RESULT {
  PLAT_MARK_CREATED = 0,  // the name was free; *out holds it now
  PLAT_MARK_EXISTS = 1,   // another handle holds the name; *out is null
  PLAT_MARK_FAILED = 2,   // the mark could not be made; *out is null
};

// Tries to take the mark of that name. Names are compared exactly; any
// bytes are allowed.
PLAT_MARK_RESULT plat_mark_create(const char* name, PLAT_MARK* out);

// Releases a mark taken by plat_mark_create; null is ignored.
void plat_mark_close(PLAT_MARK mark);
