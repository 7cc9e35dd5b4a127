// Interface marks are machine-wide by design, so two test processes that
// both open "COM7" or hold "Prologix" would refuse each other under a
// parallel ctest. Each test process therefore keeps its marks in a folder of
// its own below ORVANE_MARK_DIR; the children it forks inherit the folder,
// so cross-process tests still meet the same marks.
#pragma once

void use_private_mark_folder();
