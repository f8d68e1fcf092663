// The server's tests need nothing beyond their sandbox: they run the
// server as valmorin serve runs it, or hold its parts to their rules.
#include "support/test_program.h"

void PrepareTestProgram() {}
