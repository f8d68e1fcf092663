#include "platform/ado/sqlite/create.h"

#include "platform/posix/unique_fd.h"

#include <sqlite3.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace valmorin::ado::sqlite {

namespace {

constexpr mode_t kOwnerOnly = S_IRUSR | S_IWUSR;

struct Closer {
    void operator()(sqlite3* db) const { sqlite3_close(db); }
};

std::string ErrnoText(int error) { return std::strerror(error); }

// The empty file SQLite then opens: made here so that neither a link nor
// the umask decides where it lies or who may read it.
std::string MakeEmptyFile(const std::filesystem::path& file)
{
    const UniqueFd fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kOwnerOnly));
    if (!fd) return file.string() + ": cannot be created: " + ErrnoText(errno);
    if (::fchmod(fd.get(), kOwnerOnly) != 0) return file.string() + ": cannot be made private: " + ErrnoText(errno);
    return {};
}

std::string RunScript(const std::filesystem::path& file, std::string_view script)
{
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(file.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW, nullptr);
    const std::unique_ptr<sqlite3, Closer> db(raw);
    if (rc != SQLITE_OK) return file.string() + ": cannot be opened: " + (db ? sqlite3_errmsg(db.get()) : sqlite3_errstr(rc));
    const std::string all = "PRAGMA journal_mode = WAL; BEGIN; " + std::string(script) + "\n; COMMIT;";
    char* message = nullptr;
    if (sqlite3_exec(db.get(), all.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
        const std::string error = message ? message : sqlite3_errmsg(db.get());
        sqlite3_free(message);
        return file.string() + ": " + error;
    }
    return {};
}

} // namespace

std::string CreateDatabase(const std::filesystem::path& file, std::string_view script)
{
    const std::filesystem::path building = file.string() + ".new";
    if (std::string error = MakeEmptyFile(building); !error.empty()) return error;
    std::string error = RunScript(building, script);
    if (error.empty() && ::link(building.c_str(), file.c_str()) != 0)
        error = file.string() + ": cannot be put in place: " + ErrnoText(errno);
    ::unlink(building.c_str());
    return error;
}

} // namespace valmorin::ado::sqlite
