// Debug traces, thread names and formatted dialog texts.
#pragma once

class DLGSURFACE;

// Routes standard output to the debug console where there is one. Runs once
// while the module loads, before any entry point.
void attach_debug_console();

// Names a thread for a debugger; thread_id -1 is the calling thread. Does
// nothing when no debugger is attached, so release runs pay nothing.
void name_thread(const char* name, int thread_id);

// Sets a dialog item's text from a format, cut to 4095 characters.
void dlg_printf(DLGSURFACE* dialog, int item_id, const char* format, ...);
