// Numbers of the component's configuration, read where they are needed.
#pragma once

#include "valmorin/com/types.h"

// The REG_DWORD `name` under SOFTWARE\Pelkor\Common\Valmorin, the user's
// key before the machine's; `absent` when neither holds it.
DWORD ComponentNumber(const char16_t* name, DWORD absent);
