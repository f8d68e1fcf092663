#include "failure_notes.h"
#include "store.h"

#include "platform/posix/lock_safe_open.h"

#include "platform/ado/ado.h"
#include "platform/ado/provider.h"
#include "platform/datasource/catalogue.h"
#include "platform/posix/unique_fd.h"
#include "platform/registry/hive.h"
#include "platform/text/utf.h"
#include "qmt/sys/system.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

constexpr std::string_view kSqliteHeader{"SQLite format 3\0", 16};

struct StoreFile {
    std::filesystem::path file;
    std::string origin; // where the data source that names it is configured
};

std::string OriginText(const valmorin::datasource::CatalogueEntry& entry)
{
    switch (entry.origin) {
    case valmorin::datasource::Origin::User:
        return "data source NK in " + valmorin::datasource::UserStoreFile().string();
    case valmorin::datasource::Origin::Machine:
        return "data source NK in " + valmorin::datasource::MachineStoreFile().string();
    case valmorin::datasource::Origin::Default: break;
    }
    return entry.source.connectionString == valmorin::datasource::DefaultStoreConnectionString()
               ? "the default store"
               : "given with --connection";
}

// The SQLite file the component connects to, when it connects to one.
std::optional<StoreFile> SqliteStore(const valmorin::datasource::CatalogueEntry& entry)
{
    const std::optional<std::string> file = SqliteFileOf(entry.source.connectionString);
    if (!file) return std::nullopt;
    return StoreFile{*file, OriginText(entry)};
}

std::string ErrnoText(int error) { return std::strerror(error); }

// What keeps the file from being read as a store; empty when nothing does.
std::string UnreadableStore(const std::filesystem::path& file)
{
    struct stat status {};
    if (::stat(file.c_str(), &status) != 0)
        return errno == ENOENT ? "does not exist (valmorin init creates a store)" : "cannot be reached: " + ErrnoText(errno);
    if (S_ISDIR(status.st_mode)) return "is a folder, not a store file";
    if (!S_ISREG(status.st_mode)) return "is not a regular file";
    // This process may have the store open: a descriptor of ours opened and
    // closed on it would drop its connection's locks, which say it is read.
    const UniqueFd fd = valmorin::posix::OpenUnlessLockedHere(file, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    if (!fd && errno == EBUSY) return {};
    if (!fd) return "cannot be read: " + ErrnoText(errno);
    char header[16] = {};
    const ssize_t got = ::read(fd.get(), header, sizeof header);
    if (got < 0) return "cannot be read: " + ErrnoText(errno);
    if (got > 0 && std::string_view(header, static_cast<std::size_t>(got)) != kSqliteHeader)
        return "is not a SQLite database";
    return {};
}

// What keeps the store from being changed; empty when nothing does.
std::string UnwritableStore(const std::filesystem::path& file)
{
    const std::filesystem::path folder = file.has_parent_path() ? file.parent_path() : ".";
    struct statvfs space {};
    if (::statvfs(folder.c_str(), &space) == 0) {
        if ((space.f_flag & ST_RDONLY) != 0) return "lies on a read-only file system";
        const auto available = ::geteuid() == 0 ? space.f_bfree : space.f_bavail;
        if (available == 0) return "cannot grow: database or disk is full (no space is left on its file system)";
    }
    // The journal is made beside the store: both must be writable.
    if (::access(file.c_str(), W_OK) != 0) return "is read-only for this account: " + ErrnoText(errno);
    if (::access(folder.c_str(), W_OK) != 0)
        return "lies in a folder this account may not write (" + folder.string() + "): " + ErrnoText(errno);
    return {};
}

std::optional<std::string> StoreNote(const valmorin::datasource::Catalogue& catalogue, HRESULT hr)
{
    const std::u16string account = qmt::CSystem::accountName();
    const valmorin::datasource::CatalogueEntry* entry =
        valmorin::datasource::FindEntry(catalogue, account, valmorin::datasource::kDefaultDataSourceName);
    if (entry == nullptr && hr == adErrObjectClosed)
        return "no data source NK is configured for the account " + valmorin::text::Utf16ToUtf8(account) +
               " (valmorin datasource list)";
    if (entry == nullptr) return std::nullopt;
    const std::optional<StoreFile> store = SqliteStore(*entry);
    if (!store) return std::nullopt;
    const std::string named = "the store " + store->file.string() + " (" + store->origin + ")";
    std::string problem = UnreadableStore(store->file);
    if (problem.empty()) problem = UnwritableStore(store->file);
    if (!problem.empty()) return named + " " + problem;
    // A statement's own error (a syntax error, a broken constraint) is no
    // matter of the file; a failure of the file itself is.
    if (hr == E_FAIL || hr == DB_SEC_E_PERMISSIONDENIED) return "the call used " + named;
    return std::nullopt;
}

std::vector<std::string> Notes(HRESULT hr)
{
    std::vector<std::string> notes;
    for (const std::string& problem : valmorin::registry::HiveProblems()) notes.push_back(problem);
    const valmorin::datasource::Catalogue catalogue = valmorin::datasource::LoadCatalogue();
    if (catalogue.refused()) {
        // The connection is left closed when the data sources are refused.
        if (hr == adErrObjectClosed) notes.push_back("the data sources are refused: " + catalogue.refusal);
        return notes;
    }
    if (std::optional<std::string> note = StoreNote(catalogue, hr)) notes.push_back(std::move(*note));
    return notes;
}

} // namespace

std::vector<std::string> FailureNotes(HRESULT hr)
{
    try {
        return Notes(hr);
    } catch (...) {
        return {}; // a note is a help, never a second failure
    }
}

void PrintFailureNotes(HRESULT hr)
{
    for (const std::string& note : FailureNotes(hr)) std::cerr << "valmorin: note: " << note << "\n";
}
