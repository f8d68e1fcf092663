// The "Debug" switch of the component's configuration, read when an object
// is constructed: on, it turns the log file on for the constructing thread.
#pragma once

bool DebugSwitchIsOn();
void EnableLogFile();
