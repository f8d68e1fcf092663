#include "support/datasource_folders.h"

#include "platform/posix/user_folders.h"

#include <fstream>

#include <sys/stat.h>
#include <unistd.h>

std::filesystem::path DefaultStoreBelow(const std::filesystem::path& dataFolder)
{
    const std::filesystem::path data = ::geteuid() == 0 ? MachineFolder("/var/lib") : dataFolder;
    return data / "Pelkor" / "QMS" / "valmorin.db";
}

DataSourceFolders::DataSourceFolders()
    : m_machine("PELKOR_DATASOURCES_DIR", (m_dir / "machine").c_str()),
      m_config("XDG_CONFIG_HOME", (m_dir / "config").c_str()),
      m_data("XDG_DATA_HOME", dataFolder().c_str())
{
}

std::map<std::string, std::string> DataSourceFolders::environment() const
{
    return {{"PELKOR_DATASOURCES_DIR", (m_dir / "machine").string()},
            {"XDG_CONFIG_HOME", (m_dir / "config").string()},
            {"XDG_DATA_HOME", dataFolder().string()}};
}

void DataSourceFolders::Write(const std::filesystem::path& file, const std::string& text, mode_t mode)
{
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
    ::chmod(file.c_str(), mode);
}
