// The WAL-index header, as SQLite documents it (walformat.html): two
// copies of 48 bytes at the start of the WAL-index, in native byte order,
// written by a committing writer second copy first; a reader that finds
// them equal has read one consistent header. Every commit appends frames
// (mxFrame grows) and counts itself (iChange); a checkpoint that starts the
// log over increments salt-1. (salt-1, mxFrame) therefore moves at every
// commit, by any process, and is the store's version.
//
// The header is read through the mapping SQLite itself made for a
// connection the watch keeps open, never through a descriptor of our own:
// closing any descriptor of the "-shm" file would drop every POSIX lock
// the process holds on it, SQLite's included, and the next process to open
// the store would then believe itself alone and rebuild the file under the
// mapping. While that connection is open, SQLite's shared lock keeps the
// file in place and at its size, and keeps other connections from leaving
// WAL mode or taking the store exclusively.
#include "platform/ado/sqlite/wal_watch.h"

#include "platform/ado/sqlite/handles.h"

#include <sqlite3.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <sstream>
#include <optional>
#include <string>

#include <sys/stat.h>
#include <time.h>
#include <sys/sysmacros.h>

namespace valmorin::ado::sqlite {

namespace {

constexpr std::uint32_t kWalIndexVersion = 3007000;
constexpr int kWalIndexRegionBytes = 32768; // every region SQLite maps is this size
constexpr std::size_t kHeaderWords = 12;    // 48 bytes
// Word offsets in one copy of the header.
constexpr std::size_t kVersionWord = 0;
constexpr std::size_t kInitWord = 3; // isInit is its first byte
constexpr std::size_t kMaxFrameWord = 4;
constexpr std::size_t kSalt1Word = 8;

bool InWalMode(sqlite3* db)
{
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA journal_mode", -1, &raw, nullptr) != SQLITE_OK) return false;
    const Statement stmt(raw);
    if (sqlite3_step(raw) != SQLITE_ROW) return false;
    const auto* mode = reinterpret_cast<const char*>(sqlite3_column_text(raw, 0));
    return mode != nullptr && sqlite3_stricmp(mode, "wal") == 0;
}

// The first region of the WAL-index as the connection's own file maps it;
// null when the connection has none (not in WAL mode, no read yet).
const std::uint32_t* WalIndexOf(sqlite3* db)
{
    sqlite3_file* file = nullptr;
    if (sqlite3_file_control(db, "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK || file == nullptr ||
        file->pMethods == nullptr || file->pMethods->iVersion < 2 || file->pMethods->xShmMap == nullptr)
        return nullptr;
    void volatile* region = nullptr;
    if (file->pMethods->xShmMap(file, 0, kWalIndexRegionBytes, 0, &region) != SQLITE_OK) return nullptr;
    return const_cast<const std::uint32_t*>(static_cast<std::uint32_t volatile*>(region));
}

struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileIdentity&) const = default;
};

// The file a mapping of this process shows, as /proc/self/maps lists it.
std::optional<FileIdentity> MappedFile(const void* address)
{
    std::ifstream maps("/proc/self/maps");
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    std::string line;
    while (std::getline(maps, line)) {
        std::istringstream fields(line);
        std::uintptr_t from = 0, to = 0;
        char dash = 0, colon = 0;
        std::string permissions, offset;
        unsigned major = 0, minor = 0;
        unsigned long long inode = 0;
        fields >> std::hex >> from >> dash >> to >> permissions >> offset >> major >> colon >> minor >> std::dec >>
            inode;
        if (fields && at >= from && at < to) return FileIdentity{makedev(major, minor), static_cast<ino_t>(inode)};
    }
    return std::nullopt;
}

std::optional<FileIdentity> IdentityOf(const std::string& path)
{
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) return std::nullopt;
    return FileIdentity{status.st_dev, status.st_ino};
}

class WalIndexWatch final : public StoreWatch {
public:
    WalIndexWatch(Database db, const std::uint32_t* header, std::string path, FileIdentity database, FileIdentity index)
        : m_db(std::move(db)), m_header(header), m_path(std::move(path)), m_database(database), m_index(index)
    {}

    bool Read(StoreVersion& version) const override
    {
        if (Replaced()) return false;
        std::uint32_t first[kHeaderWords], second[kHeaderWords];
        for (std::size_t i = 0; i < kHeaderWords; ++i) first[i] = __atomic_load_n(&m_header[i], __ATOMIC_RELAXED);
        std::atomic_thread_fence(std::memory_order_acquire);
        for (std::size_t i = 0; i < kHeaderWords; ++i)
            second[i] = __atomic_load_n(&m_header[kHeaderWords + i], __ATOMIC_RELAXED);
        if (std::memcmp(first, second, sizeof first) != 0) return false; // a writer is between the two copies
        if (first[kVersionWord] != kWalIndexVersion || (first[kInitWord] & 0xFF) == 0) return false;
        version.entries = (static_cast<std::uint64_t>(first[kSalt1Word]) << 32) | first[kMaxFrameWord];
        version.fills = version.entries;
        return true;
    }

    // The store's name now reaches other files than the ones watched when
    // the store, or its "-shm" file, was replaced or removed.
    bool Outlived() const override
    {
        return IdentityOf(m_path) != m_database || IdentityOf(m_path + "-shm") != m_index;
    }

private:
    // Outlived, looked at most once a second, as a connection looks at its
    // own file, and for good once it is: the answers of a store replaced
    // under the objects still connected to it are no longer served from
    // memory, and their lookups reach their connections, which then find
    // their file gone.
    bool Replaced() const
    {
        if (m_replaced.load(std::memory_order_relaxed)) return true;
        // The coarse clock is enough for a look once a second, and costs
        // a lookup served from memory least.
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
        if (now.tv_sec < m_nextLook.load(std::memory_order_relaxed)) return false;
        m_nextLook.store(now.tv_sec + 1, std::memory_order_relaxed);
        if (!Outlived()) return false;
        m_replaced.store(true, std::memory_order_relaxed);
        return true;
    }

    Database m_db; // holds SQLite's lock on the "-shm" file, and its mapping
    const std::uint32_t* m_header;
    std::string m_path;
    FileIdentity m_database, m_index;
    mutable std::atomic<std::int64_t> m_nextLook{0}; // seconds of the coarse monotonic clock
    mutable std::atomic<bool> m_replaced{false};
};

} // namespace

std::unique_ptr<StoreWatch> WatchWalIndex(const std::filesystem::path& database)
{
    const std::string path = database.string();
    const std::optional<FileIdentity> before = IdentityOf(path);
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    Database db(raw);
    if (rc != SQLITE_OK || !before || !InWalMode(db.get())) return nullptr;
    // A read makes the WAL-index exist and be current.
    if (sqlite3_exec(db.get(), "SELECT COUNT(*) FROM sqlite_schema", nullptr, nullptr, nullptr) != SQLITE_OK)
        return nullptr;
    const std::uint32_t* header = WalIndexOf(db.get());
    // The file opened must be the one looked at before: a store replaced in
    // between is watched at the next attempt.
    const std::optional<FileIdentity> after = IdentityOf(path);
    const std::optional<FileIdentity> index = IdentityOf(path + "-shm");
    if (header == nullptr || after != before || !index) return nullptr;
    // Another connection of the process may hold SQLite on the index the
    // file had before it was removed or replaced; SQLite then maps that one
    // for every connection of the process to the store, and it is not the
    // one other processes write: no version can be read from it.
    if (MappedFile(header) != index) return nullptr;
    return std::make_unique<WalIndexWatch>(std::move(db), header, path, *after, *index);
}

} // namespace valmorin::ado::sqlite
