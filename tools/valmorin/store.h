// The translation store as the command sees it: where the default one
// lives, and how a new one is made.
#pragma once

#include <optional>
#include <string>

// Provider=SQLite;Data Source=<the user's data folder>/Pelkor/QMS/valmorin.db
std::u16string DefaultStoreConnectionString();
std::string DefaultStorePath();

// The SQLite file a connection string names; none for another provider, or
// when it names no file.
std::optional<std::string> SqliteFileOf(const std::u16string& connectionString);

struct InitOutcome {
    bool created = false;
    bool failed = false;
    std::string message;
};

// Creates the store's file and its three tables; an existing store is left
// as it is.
InitOutcome InitStore(const std::u16string& connectionString);
