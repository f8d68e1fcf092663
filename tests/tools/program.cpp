// The command's tests need nothing beyond their sandbox: they run the
// command itself.
#include "support/test_program.h"

void PrepareTestProgram() {}
