#include "platform/win32/synch.h"

#include "platform/posix/user_folders.h"
#include "platform/text/utf.h"
#include "platform/win32/kernel.h"
#include "platform/win32/kernel_object.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <ctime>
#include <map>
#include <mutex>
#include <string>

namespace {

// What lives in the shared-memory object: a robust, recursive,
// process-shared mutex, and the mark that it has been initialised.
struct SharedMutex {
    std::atomic<std::uint32_t> ready;
    pthread_mutex_t mutex;
};
static_assert(std::atomic<std::uint32_t>::is_always_lock_free);

constexpr std::uint32_t kReady = 0x4D555458; // "MUTX"

class MutexObject : public valmorin::win32::KernelObject {
public:
    explicit MutexObject(SharedMutex* shared) : m_shared(shared) {}
    pthread_mutex_t* mutex() const { return &m_shared->mutex; }

private:
    SharedMutex* m_shared;
};

class UniqueFd {
public:
    explicit UniqueFd(int fd) : m_fd(fd) {}
    ~UniqueFd()
    {
        if (m_fd >= 0) close(m_fd);
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

struct Opened {
    SharedMutex* shared = nullptr;
    bool created = false;
    DWORD error = 0;
};

// Named mutexes live where POSIX shared memory does, /dev/shm, unless the
// machine-wide folders are moved.
std::string SharedMemoryName(const char16_t* name)
{
    std::string encoded = (MachineFolder("/dev/shm") / "valmorin-mutex.").string();
    for (const char c : valmorin::text::Utf16ToUtf8(name)) {
        if (c == '%') encoded += "%25";
        else if (c == '/') encoded += "%2F";
        else encoded += c;
    }
    return encoded;
}

DWORD ErrorOfErrno(int error)
{
    switch (error) {
    case EACCES:
    case EPERM: return ERROR_ACCESS_DENIED;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    default: return ERROR_INVALID_PARAMETER;
    }
}

void InitialiseRobustMutex(pthread_mutex_t* mutex)
{
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

// Held while a process maps and initialises the object. Released by hand:
// the mapping keeps the open file alive, so closing the descriptor would not
// release it.
class InitialisationLock {
public:
    explicit InitialisationLock(int fd) : m_fd(fd), m_held(flock(fd, LOCK_EX) == 0) {}
    ~InitialisationLock()
    {
        if (m_held) flock(m_fd, LOCK_UN);
    }
    InitialisationLock(const InitialisationLock&) = delete;
    InitialisationLock& operator=(const InitialisationLock&) = delete;
    bool held() const { return m_held; }

private:
    int m_fd;
    bool m_held;
};

// Maps the object and initialises its mutex the first time anyone maps it;
// the lock keeps a second process from initialising it meanwhile.
SharedMutex* MapInitialised(int fd)
{
    const InitialisationLock lock(fd);
    if (!lock.held()) return nullptr;
    struct stat status{};
    if (fstat(fd, &status) != 0) return nullptr;
    if (status.st_size < static_cast<off_t>(sizeof(SharedMutex)) && ftruncate(fd, sizeof(SharedMutex)) != 0)
        return nullptr;
    void* memory = mmap(nullptr, sizeof(SharedMutex), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (memory == MAP_FAILED) return nullptr;
    auto* shared = static_cast<SharedMutex*>(memory);
    if (shared->ready.load() != kReady) {
        InitialiseRobustMutex(&shared->mutex);
        shared->ready.store(kReady);
    }
    return shared;
}

int CreateExclusive(const std::string& path, mode_t mode)
{
    return ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
}

// A moved folder that does not exist yet is made, for every account as
// /dev/shm is, the first time a mutex is created in it.
int CreateInFolder(const std::string& path, mode_t mode)
{
    const int fd = CreateExclusive(path, mode);
    if (fd >= 0 || errno != ENOENT) return fd;
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    if (std::error_code failed; std::filesystem::create_directories(folder, failed)) ::chmod(folder.c_str(), 01777);
    return CreateExclusive(path, mode);
}

Opened OpenShared(const std::string& path, bool create, mode_t mode)
{
    bool created = false;
    int fd = -1;
    if (create) {
        fd = CreateInFolder(path, mode);
        created = fd >= 0;
        // The mode is meant as given, whatever the process's umask.
        if (created) fchmod(fd, mode);
    }
    if (fd < 0 && (!create || errno == EEXIST)) fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return {nullptr, false, ErrorOfErrno(errno)};
    const UniqueFd file(fd);
    SharedMutex* shared = MapInitialised(file.get());
    return shared ? Opened{shared, created, 0} : Opened{nullptr, false, ErrorOfErrno(errno)};
}

// Each object is mapped once per process and stays mapped until the process
// ends: a robust mutex must stay reachable while a thread of this process may
// hold it, since the system walks it when that thread dies. All handles of
// one name share the mapping, as handles share one kernel object.
class MappedMutexes {
public:
    static MappedMutexes& Instance()
    {
        static MappedMutexes mapped;
        return mapped;
    }

    Opened Open(const char16_t* name, bool create, mode_t mode)
    {
        const std::string path = SharedMemoryName(name);
        std::lock_guard lock(m_mutex);
        if (const auto it = m_mapped.find(path); it != m_mapped.end()) return {it->second, false, 0};
        const Opened opened = OpenShared(path, create, mode);
        if (opened.shared != nullptr) m_mapped.emplace(path, opened.shared);
        return opened;
    }

private:
    std::mutex m_mutex;
    std::map<std::string, SharedMutex*> m_mapped;
};

bool OpensToEveryAccount(const SECURITY_ATTRIBUTES* attributes)
{
    const SECURITY_DESCRIPTOR* descriptor = attributes ? attributes->lpSecurityDescriptor : nullptr;
    return descriptor != nullptr && descriptor->DaclPresent && descriptor->Dacl == nullptr;
}

HANDLE OpenMutexHandle(const char16_t* name, bool create, mode_t mode, bool* created)
{
    if (name == nullptr || *name == u'\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const Opened opened = MappedMutexes::Instance().Open(name, create, mode);
    if (opened.shared == nullptr) {
        SetLastError(opened.error);
        return nullptr;
    }
    *created = opened.created;
    return valmorin::win32::InsertObject(std::make_shared<MutexObject>(opened.shared));
}

timespec DeadlineAfter(DWORD milliseconds)
{
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += milliseconds / 1000;
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000;
    if (deadline.tv_nsec >= 1000000000) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000;
    }
    return deadline;
}

int Acquire(pthread_mutex_t* mutex, DWORD milliseconds)
{
    if (milliseconds == INFINITE) return pthread_mutex_lock(mutex);
    if (milliseconds == 0) return pthread_mutex_trylock(mutex);
    const timespec deadline = DeadlineAfter(milliseconds);
    return pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &deadline);
}

} // namespace

HANDLE CreateMutexW(SECURITY_ATTRIBUTES* attributes, BOOL initialOwner, const char16_t* name)
{
    const mode_t mode = OpensToEveryAccount(attributes) ? 0666 : 0600;
    bool created = false;
    HANDLE handle = OpenMutexHandle(name, true, mode, &created);
    if (handle == nullptr) return nullptr;
    if (initialOwner) WaitForSingleObject(handle, INFINITE);
    SetLastError(created ? 0 : ERROR_ALREADY_EXISTS);
    return handle;
}

HANDLE OpenMutexW(DWORD, BOOL, const char16_t* name)
{
    bool created = false;
    return OpenMutexHandle(name, false, 0, &created);
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    const std::shared_ptr<MutexObject> object = valmorin::win32::FindObjectAs<MutexObject>(handle);
    if (object == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    switch (const int result = Acquire(object->mutex(), milliseconds)) {
    case 0: return WAIT_OBJECT_0;
    case EOWNERDEAD:
        // The previous owner died holding it: the mutex is ours and usable.
        pthread_mutex_consistent(object->mutex());
        return WAIT_ABANDONED;
    case EBUSY:
    case ETIMEDOUT: return WAIT_TIMEOUT;
    default: SetLastError(ErrorOfErrno(result)); return WAIT_FAILED;
    }
}

BOOL ReleaseMutex(HANDLE mutex)
{
    const std::shared_ptr<MutexObject> object = valmorin::win32::FindObjectAs<MutexObject>(mutex);
    if (object == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (pthread_mutex_unlock(object->mutex()) != 0) {
        SetLastError(ERROR_NOT_OWNER);
        return FALSE;
    }
    return TRUE;
}
