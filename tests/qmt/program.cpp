// The toolkit's tests need nothing beyond their sandbox.
#include "support/test_program.h"

void PrepareTestProgram() {}
