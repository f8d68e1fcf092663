#include "module/module.h"
#include "support/component_library.h"
#include "support/test_program.h"

void PrepareTestProgram()
{
    // The component's code is linked into the program; the module it
    // registers and loads its type information from is the built library.
    valmorin::module::StandInFor(ComponentModule());
}
