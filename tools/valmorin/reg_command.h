// valmorin reg: the Windows "reg" command's QUERY, ADD, DELETE, IMPORT and
// EXPORT over the component's registry, with reg's arguments, root names
// (HKLM, HKCU, HKCR, HKU or spelled out) and exit codes, so that an
// administrator can, for instance, switch the component's log on:
//
//   valmorin reg add "HKLM\SOFTWARE\Pelkor\Common\Valmorin" /v Debug /d y /f
#pragma once

#include <string>
#include <vector>

// args are what follows "valmorin reg". Returns 0 on success and 1 on any
// failure, a missing key or value included.
int RunRegCommand(const std::vector<std::string>& args);
