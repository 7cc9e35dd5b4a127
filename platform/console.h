// The debug console.
#pragma once

// Routes standard output to the debug console where the platform has one
// (a "wincon" window's console on Windows). POSIX leaves standard output as
// the process has it. Runs once, while the module loads.
void plat_attach_debug_console();
