#include "qmt/diag/log_file.h"

#include "platform/posix/user_folders.h"
#include "platform/text/utf.h"
#include "qmt/diag/exception.h"
#include "qmt/diag/logger.h"
#include "qmt/sys/file.h"
#include "qmt/sys/mutex.h"
#include "qmt/sys/shell_folder.h"
#include "qmt/sys/system.h"

#include <filesystem>

namespace qmt {

namespace {

// The system account keeps machine-wide logs where Linux daemons keep
// theirs.
constexpr char kSystemLogFolder[] = "/var/log";
constexpr char16_t kSystemAccount[] = u"SYSTEM";
// Makes the lock's name one that nothing else on the computer uses.
constexpr char16_t kLockNameInfix[] = u"35E21C86739F4027BF5935532FF39980";
constexpr DWORD kLockTimeoutMs = 60000;

std::u16string LogFolder()
{
    if (CSystem::userName() == kSystemAccount) return valmorin::text::Widen(MachineFolder(kSystemLogFolder).string());
    return CShellFolder(CSIDL_APPDATA | CSIDL_FLAG_CREATE).Path();
}

std::filesystem::path NativePath(std::u16string_view path) { return valmorin::text::Utf16ToUtf8(path); }

// The stream is closed even when the event cannot be written, so that the
// next record starts afresh.
class COpenLog {
public:
    COpenLog(ILogger& logger, const std::u16string& path) : m_logger(logger) { m_logger.Open(path); }
    ~COpenLog() { m_logger.Close(); }
    COpenLog(const COpenLog&) = delete;
    COpenLog& operator=(const COpenLog&) = delete;

private:
    ILogger& m_logger;
};

// The name a full log file is moved to: ".old" before the file name's last
// dot (Valmorin.log becomes Valmorin.old.log); empty for a file name
// without a dot, which is never rotated.
std::u16string RotatedPath(std::u16string_view path)
{
    const std::size_t dot = LastComponent(path).rfind(u'.');
    if (dot == std::u16string_view::npos) return {};
    const std::size_t at = path.size() - LastComponent(path).size() + dot;
    return std::u16string(path.substr(0, at)) + u".old" + std::u16string(path.substr(at));
}

// The record that crossed the limit ends the rotated file; the next one
// starts a new file. Whatever stands in the way (no file yet, a rename
// refused) leaves the file as it is, to be checked again at the next record.
void RotateWhenFull(const std::u16string& path, DWORD limit)
{
    DWORD size = 0;
    try {
        size = CFile(path).Size();
    } catch (const CException&) {
        return;
    }
    const std::u16string rotated = RotatedPath(path);
    if (size < limit || rotated.empty()) return;
    std::error_code ignored;
    std::filesystem::remove(NativePath(rotated), ignored);
    std::filesystem::rename(NativePath(path), NativePath(rotated), ignored);
}

} // namespace

std::u16string LogFilePath(std::u16string_view fileName)
{
    // Each level is made with its own mode before Child finds it there: the
    // log may hold a password, and the umask must not open it to others.
    const unsigned mode = CSystem::userName() == kSystemAccount ? 0755 : 0700;
    const CFile base(LogFolder());
    MakeLogFolder(base.Child(u"Pelkor").Path(), mode);
    const CFile pelkor = base.Child(u"/Pelkor");
    MakeLogFolder(pelkor.Child(u"QMS").Path(), mode);
    return pelkor.Child(u"/QMS").Child(fileName).Path();
}

std::u16string_view LastComponent(std::u16string_view path)
{
    const std::size_t separator = path.rfind(kFileSeparator);
    return separator == std::u16string_view::npos ? path : path.substr(separator + 1);
}

void AppendLogRecord(ILogger& logger, std::u16string_view computerName, const std::u16string& path, DWORD limit,
                     std::u16string_view message, LogLevel level)
{
    const std::u16string lockName = std::u16string(computerName) + kLockNameInfix + std::u16string(LastComponent(path));
    CMutex lock(lockName, false, 0);
    if (!lock.Lock(kLockTimeoutMs)) return;
    {
        const COpenLog open(logger, path);
        logger.Write(message, level);
    }
    RotateWhenFull(path, limit);
}

} // namespace qmt
