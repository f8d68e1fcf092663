// A fresh folder under the system's temporary folder, removed afterwards.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return m_path; }
    std::filesystem::path operator/(const std::string& name) const { return m_path / name; }

private:
    std::filesystem::path m_path;
};

// Creates a SQLite database file and runs the given script in it.
void CreateSqliteFile(const std::filesystem::path& file, const std::string& script = "");
// Runs one query with the sqlite3 library and returns the first column of
// each row as UTF-16 text ("<NULL>" for NULL).
std::vector<std::u16string> QueryColumn(const std::filesystem::path& file, const std::string& sql);
std::u16string SqliteConnectionString(const std::filesystem::path& file);
