// The WAL-index header, as SQLite documents it (walformat.html): two
// copies of 48 bytes at the start of the "-shm" file, in native byte order,
// written by a committing writer second copy first; a reader that finds
// them equal has read one consistent header. Every commit appends frames
// (mxFrame grows); a checkpoint that starts the log over increments
// salt-1. (salt-1, mxFrame) therefore moves at every commit, by any
// process, and is the store's version.
//
// The "-shm" file lives as long as one connection to the store is open:
// the last one to close removes it. The watch keeps a connection of its own
// open, so the file it maps is the one every writer updates.
#include "platform/ado/sqlite/wal_watch.h"

#include "platform/ado/sqlite/handles.h"
#include "platform/posix/unique_fd.h"

#include <sqlite3.h>

#include <atomic>
#include <cstring>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

namespace valmorin::ado::sqlite {

namespace {

constexpr std::uint32_t kWalIndexVersion = 3007000;
constexpr std::size_t kHeaderWords = 12; // 48 bytes
constexpr std::size_t kMappedBytes = 2 * kHeaderWords * sizeof(std::uint32_t);
// Word offsets in one copy of the header, and the words read of each.
constexpr std::size_t kVersionWord = 0;
constexpr std::size_t kInitWord = 3; // isInit is its first byte
constexpr std::size_t kMaxFrameWord = 4;
constexpr std::size_t kSalt1Word = 8;
constexpr std::size_t kReadWords[] = {kVersionWord, kInitWord, kMaxFrameWord, kSalt1Word};

struct Mapping {
    void* address = MAP_FAILED;
    std::size_t size = 0;
    ~Mapping()
    {
        if (address != MAP_FAILED) ::munmap(address, size);
    }
};

bool InWalMode(sqlite3* db)
{
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA journal_mode", -1, &raw, nullptr) != SQLITE_OK) return false;
    const Statement stmt(raw);
    if (sqlite3_step(raw) != SQLITE_ROW) return false;
    const auto* mode = reinterpret_cast<const char*>(sqlite3_column_text(raw, 0));
    return mode != nullptr && sqlite3_stricmp(mode, "wal") == 0;
}

class WalIndexWatch final : public StoreWatch {
public:
    WalIndexWatch(Database db, Mapping& mapping) : m_db(std::move(db))
    {
        std::swap(m_mapping.address, mapping.address);
        std::swap(m_mapping.size, mapping.size);
    }

    bool Read(StoreVersion& version) const override
    {
        const auto* words = static_cast<const std::uint32_t*>(m_mapping.address);
        std::uint32_t first[std::size(kReadWords)], second[std::size(kReadWords)];
        for (std::size_t i = 0; i < std::size(kReadWords); ++i)
            first[i] = __atomic_load_n(&words[kReadWords[i]], __ATOMIC_RELAXED);
        std::atomic_thread_fence(std::memory_order_acquire);
        for (std::size_t i = 0; i < std::size(kReadWords); ++i)
            second[i] = __atomic_load_n(&words[kHeaderWords + kReadWords[i]], __ATOMIC_RELAXED);
        if (std::memcmp(first, second, sizeof first) != 0) return false; // a writer is between the two copies
        if (first[0] != kWalIndexVersion || (first[1] & 0xFF) == 0) return false;
        version.entries = (static_cast<std::uint64_t>(first[3]) << 32) | first[2];
        version.fills = version.entries;
        return true;
    }

private:
    Database m_db; // keeps the "-shm" file in place
    Mapping m_mapping;
};

} // namespace

std::unique_ptr<StoreWatch> WatchWalIndex(const std::filesystem::path& database)
{
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(database.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    Database db(raw);
    if (rc != SQLITE_OK || !InWalMode(db.get())) return nullptr;
    // A read makes the WAL-index exist and be current.
    if (sqlite3_exec(db.get(), "SELECT COUNT(*) FROM sqlite_schema", nullptr, nullptr, nullptr) != SQLITE_OK)
        return nullptr;
    const std::filesystem::path index = database.string() + "-shm";
    const UniqueFd fd(::open(index.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat status {};
    if (!fd || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        static_cast<std::size_t>(status.st_size) < kMappedBytes)
        return nullptr;
    Mapping mapping;
    mapping.size = kMappedBytes;
    mapping.address = ::mmap(nullptr, mapping.size, PROT_READ, MAP_SHARED, fd.get(), 0);
    if (mapping.address == MAP_FAILED) return nullptr;
    return std::make_unique<WalIndexWatch>(std::move(db), mapping);
}

} // namespace valmorin::ado::sqlite
