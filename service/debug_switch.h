// The "Debug" switch of the component's configuration, read when an object
// is constructed: on, it turns the log file on for the constructing thread.
#pragma once

// True when "Debug" under HKEY_LOCAL_MACHINE\SOFTWARE\Pelkor\Common\Valmorin
// is exactly "y" or "Y"; false for any other text and when it cannot be
// read.
bool DebugSwitchIsOn();
// Sets the calling thread's log file "Valmorin.log" up.
void EnableLogFile();
