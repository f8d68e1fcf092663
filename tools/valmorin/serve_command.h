// valmorin serve: reads the command's options and runs the server
// (server/server.h) with the component made as the command makes it.
#pragma once

#include <string>
#include <vector>

// args: what follows "serve"; throws UsageError.
int RunServeCommand(const std::vector<std::string>& args);
