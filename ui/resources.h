// The icon bundle (/pic) of the main window. It registers itself when the
// program starts, as long as the executable links neurask_gui (see
// ui/CMakeLists.txt); this call is for code that wants to be sure.
#pragma once

// Registers the /pic icon bundle; safe to call more than once.
void neuraskInitResources();
