// Machine and user data-source files in a temporary folder: while the object
// lives, the data-source directory of this process reads these instead of
// the real ones, and its embedded default lies there too.
#pragma once

#include "support/environment.h"
#include "support/temp_dir.h"

#include <map>

#include <sys/types.h>

// The embedded default store of a process whose user data folder is
// dataFolder: there for a user, in the machine's folder for root.
std::filesystem::path DefaultStoreBelow(const std::filesystem::path& dataFolder);

class DataSourceFolders {
public:
    DataSourceFolders();

    std::filesystem::path machineFile() const { return m_dir / "machine" / "datasources.ini"; }
    std::filesystem::path userFile() const { return m_dir / "config" / "pelkor" / "datasources.ini"; }
    std::filesystem::path dataFolder() const { return m_dir / "data"; }
    // Where the embedded default store lies for the account the tests run as.
    std::filesystem::path defaultStore() const { return DefaultStoreBelow(dataFolder()); }
    // The same settings for a child process.
    std::map<std::string, std::string> environment() const;

    // Writes a store file, creating its folder, and gives it the mode.
    static void Write(const std::filesystem::path& file, const std::string& text, mode_t mode = 0600);

private:
    TempDir m_dir;
    ScopedEnvironment m_machine;
    ScopedEnvironment m_config;
    ScopedEnvironment m_data;
};
