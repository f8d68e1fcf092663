// valmorin datasource: the data sources that the component's names, "NK"
// first of all, resolve to.
//
//   valmorin datasource list
//   valmorin datasource show <name>
//   valmorin datasource set <name> "<connection string>" [--schema <schema>] [--machine]
//   valmorin datasource remove <name> [--machine]
//
// A <name> serves every account, <name>@<account> that account only. set
// and remove change the user's file, or the machine's with --machine; show
// tells what the component would be given, with passwords masked.
#pragma once

#include <string>
#include <vector>

// args are what follows "valmorin datasource". Returns 0 when done, 1 when
// the data source is not configured (show, remove), 2 when a store file is
// refused or cannot be written, 64 for arguments that make no command.
int RunDataSourceCommand(const std::vector<std::string>& args);
