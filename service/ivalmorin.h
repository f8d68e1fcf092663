// The dual interface of the component, as its public header publishes it.
#pragma once

#include "valmorin/valmorin.h"
