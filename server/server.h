// valmorin serve: the component over HTTP (serve/api.h), with the accounts
// of an htpasswd file or, without one, for loopback clients only.
#pragma once

#include <string>
#include <vector>

// args: what follows "serve"; throws UsageError.
int RunServeCommand(const std::vector<std::string>& args);
