#include "qmt/diag/logger.h"

#include "platform/text/utf.h"
#include "platform/win32/security.h"
#include "platform/win32/sysinfo.h"
#include "qmt/diag/exception.h"
#include "qmt/diag/format.h"
#include "qmt/sys/date.h"

#include <new>

namespace qmt {

namespace {

constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";

// The sizes, terminator included, of the buffers the logger keeps its texts
// in; what is longer is cut.
constexpr std::size_t kLoggerNameCapacity = 100;
constexpr DWORD kUserNameCapacity = 260;
constexpr DWORD kComputerNameCapacity = 16;
constexpr DWORD kModulePathCapacity = 261;

std::u16string Fit(std::u16string_view text, std::size_t capacity)
{
    return std::u16string(text.substr(0, capacity - 1));
}

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

bool IsEmptyFile(std::FILE* file) { return std::fseek(file, 0, SEEK_END) == 0 && std::ftell(file) == 0; }

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
    m_stream.reset(std::fopen(text::Utf16ToUtf8(path).c_str(), "ab"));
    if (!m_stream) return false;
    if (IsEmptyFile(m_stream.get())) std::fputs(kByteOrderMark, m_stream.get());
    WriteHeader();
    return true;
}

void LogBuilder::Close()
{
    if (!m_stream) return;
    WriteFooter();
    m_stream.reset();
}

LogBuilder::~LogBuilder() { Close(); }

void LogBuilder::WriteText(std::u16string_view text)
{
    const std::string bytes = WithCrLf(text::Utf16ToUtf8(text));
    std::fwrite(bytes.data(), 1, bytes.size(), m_stream.get());
}

LogIdentity LogIdentity::OfProcess() { return {UserName(), ComputerName(), MainModulePath()}; }

Log4NetEmulator::Log4NetEmulator(std::u16string_view loggerName)
    : Log4NetEmulator(loggerName, LogIdentity::OfProcess())
{
}

Log4NetEmulator::Log4NetEmulator(std::u16string_view loggerName, const LogIdentity& identity)
    : m_loggerName(Fit(loggerName, kLoggerNameCapacity)),
      m_userName(Fit(identity.userName, kUserNameCapacity)),
      m_computerName(Fit(identity.computerName, kComputerNameCapacity)),
      m_modulePath(Fit(identity.modulePath, kModulePathCapacity))
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
