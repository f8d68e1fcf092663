#include "service/debug_switch.h"

// The switch lives in the registry, which this build does not have yet:
// logging stays off.
bool DebugSwitchIsOn() { return false; }

void EnableLogFile() {}
