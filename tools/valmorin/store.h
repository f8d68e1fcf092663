// The translation store as the command sees it: where the default one
// lives, and how init makes one (qmt/db/store_admin.h).
#pragma once

#include "qmt/db/store_admin.h"

#include <optional>
#include <string>

// Provider=SQLite;Data Source=<the user's data folder>/Pelkor/QMS/valmorin.db
std::u16string DefaultStoreConnectionString();
std::string DefaultStorePath();

// The SQLite file a connection string names; none for another provider, or
// when it names no file.
std::optional<std::string> SqliteFileOf(const std::u16string& connectionString);

using InitOutcome = qmt::StoreInitOutcome;

// Creates the store, or brings an existing one up to the store's rules;
// through ODBC it first prints the schema of the DBMS the driver names.
InitOutcome InitStore(const std::u16string& connectionString);
