#include "qmt/diag/logger.h"

#include "platform/text/utf.h"
#include "platform/win32/security.h"
#include "platform/win32/sysinfo.h"
#include "qmt/diag/exception.h"
#include "qmt/diag/format.h"
#include "qmt/sys/date.h"

#include <cerrno>
#include <new>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qmt {

namespace {

constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";

// The sizes, terminator included, of the buffers the logger keeps its texts
// in; what is longer is cut.
constexpr std::size_t kLoggerNameCapacity = 100;
constexpr DWORD kUserNameCapacity = 260;
constexpr DWORD kComputerNameCapacity = 16;
constexpr DWORD kModulePathCapacity = 261;

std::string WithCrLf(const std::string& text)
{
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    for (const char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

constexpr mode_t kLogFileMode = S_IRUSR | S_IWUSR;
// Never through a link; never waiting on a FIFO with no reader.
constexpr int kLogOpenFlags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// The log file's descriptor, or -1; created says whether this call made it.
int OpenLogFile(const std::string& path, bool& created)
{
    for (;;) {
        const int fd = ::open(path.c_str(), kLogOpenFlags);
        if (fd >= 0 || errno != ENOENT) return fd;
        const int made = ::open(path.c_str(), kLogOpenFlags | O_CREAT | O_EXCL, kLogFileMode);
        created = made >= 0;
        if (made >= 0 || errno != EEXIST) return made;
    }
}

void WriteAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno != EINTR) return; // a record that cannot be written is dropped
        if (written > 0) bytes.remove_prefix(static_cast<std::size_t>(written));
    }
}

std::u16string UserName()
{
    char16_t name[kUserNameCapacity] = {};
    DWORD size = kUserNameCapacity;
    return GetUserNameW(name, &size) ? std::u16string(name) : std::u16string();
}

std::u16string ComputerName()
{
    char16_t name[kComputerNameCapacity] = {};
    DWORD size = kComputerNameCapacity;
    return GetComputerNameW(name, &size) ? std::u16string(name) : std::u16string();
}

std::u16string MainModulePath()
{
    char16_t path[kModulePathCapacity] = {};
    GetModuleFileNameW(GetModuleHandleA(nullptr), path, kModulePathCapacity);
    return path;
}

std::u16string_view LevelText(LogLevel level)
{
    switch (level) {
    case LogLevel::Info: return u"INFO";
    case LogLevel::Debug: return u"DEBUG";
    case LogLevel::Warning: return u"WARNING";
    case LogLevel::Error: return u"ERROR";
    }
    return u"";
}

std::u16string EscapeXml(std::u16string_view text)
{
    std::u16string out;
    out.reserve(text.size());
    for (const char16_t c : text) {
        switch (c) {
        case u'"': out += u"&quot;"; break;
        case u'&': out += u"&amp;"; break;
        case u'\'': out += u"&apos;"; break;
        case u'<': out += u"&lt;"; break;
        case u'>': out += u"&gt;"; break;
        default: out += c; break;
        }
    }
    return out;
}

std::u16string Attribute(std::u16string_view name, std::u16string_view value)
{
    return std::u16string(name) + u"=\"" + std::u16string(value) + u"\"";
}

std::u16string CurrentTimestamp()
{
    CDateLocal now;
    now.setNow();
    return now.dateTimeText();
}

} // namespace

void LogBuilder::Write(std::u16string_view, LogLevel) {}
void LogBuilder::Info(std::u16string_view message) { Write(message, LogLevel::Info); }
void LogBuilder::Debug(std::u16string_view message) { Write(message, LogLevel::Debug); }
void LogBuilder::Warning(std::u16string_view message) { Write(message, LogLevel::Warning); }
void LogBuilder::Error(std::u16string_view message) { Write(message, LogLevel::Error); }
void LogBuilder::WriteFooter() {}
void LogBuilder::WriteHeader() {}

bool LogBuilder::Open(const std::u16string& path)
{
    Close();
    bool created = false;
    const UniqueFd& file = m_file.emplace(OpenLogFile(valmorin::text::Utf16ToUtf8(path), created));
    struct stat status {};
    const bool usable = file && (!created || ::fchmod(file.get(), kLogFileMode) == 0) &&
                        ::fstat(file.get(), &status) == 0 && S_ISREG(status.st_mode);
    if (!usable) {
        m_file.reset();
        return false;
    }
    if (status.st_size == 0) WriteAll(file.get(), kByteOrderMark);
    WriteHeader();
    return true;
}

void LogBuilder::Close()
{
    if (!m_file) return;
    WriteFooter();
    m_file.reset();
}

LogBuilder::~LogBuilder() { Close(); }

void LogBuilder::WriteText(std::u16string_view text)
{
    WriteAll(m_file->get(), WithCrLf(valmorin::text::Utf16ToUtf8(text)));
}

void MakeLogFolder(const std::u16string& folder, unsigned mode)
{
    const std::string path = valmorin::text::Utf16ToUtf8(folder);
    if (::mkdir(path.c_str(), static_cast<mode_t>(mode)) != 0) return; // there already, or not to be made
    const UniqueFd made(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (made) ::fchmod(made.get(), static_cast<mode_t>(mode));
}

LogIdentity LogIdentity::OfProcess() { return {UserName(), ComputerName(), MainModulePath()}; }

Log4NetEmulator::Log4NetEmulator(std::u16string_view loggerName)
    : Log4NetEmulator(loggerName, LogIdentity::OfProcess())
{
}

Log4NetEmulator::Log4NetEmulator(std::u16string_view loggerName, const LogIdentity& identity)
    : m_loggerName(FitToBuffer(loggerName, kLoggerNameCapacity)),
      m_userName(FitToBuffer(identity.userName, kUserNameCapacity)),
      m_computerName(FitToBuffer(identity.computerName, kComputerNameCapacity)),
      m_modulePath(FitToBuffer(identity.modulePath, kModulePathCapacity))
{
}

void Log4NetEmulator::Write(std::u16string_view message, LogLevel level)
{
    if (!IsOpen()) return;
    const CRecordInProgress inProgress;
    try {
        WriteText(EventText(message, level));
    } catch (const std::bad_alloc&) {
        throw CComException(E_OUTOFMEMORY);
    }
}

std::u16string Log4NetEmulator::EventText(std::u16string_view message, LogLevel level) const
{
    const std::u16string thread = Format(u"%d", GetCurrentThreadId());
    return u"<log4net:event " + Attribute(u"logger", m_loggerName) + u" " +
           Attribute(u"timestamp", CurrentTimestamp()) + u" " + Attribute(u"level", LevelText(level)) + u" " +
           Attribute(u"thread", thread) + u" " + Attribute(u"domain", m_modulePath) + u" " +
           Attribute(u"username", m_userName) + u">\n" +
           u"\t<log4net:message>" + EscapeXml(message) + u"</log4net:message>\n" +
           u"\t<log4net:global-properties>\n" +
           u"\t\t<log4net:data " + Attribute(u"name", u"log4net:HostName") + u" " +
           Attribute(u"value", m_computerName) + u"/>\n" +
           u"\t</log4net:global-properties>\n" +
           u"</log4net:event>\n";
}

} // namespace qmt
