#include "qmt/diag/trace.h"

#include "platform/text/utf.h"
#include "qmt/diag/exception.h"
#include "qmt/diag/format.h"
#include "qmt/diag/log_file.h"
#include "qmt/diag/logger.h"
#include "qmt/sys/pe_file.h"
#include "qmt/sys/registry.h"
#include "qmt/sys/system.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace qmt {

namespace {

constexpr char16_t kLogSettingsKey[] = u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelkor\\COMMON";
constexpr char16_t kLogFileSizeValue[] = u"LogFileSize";
constexpr std::size_t kFormattedCapacity = 1024;
constexpr DWORD kModulePathCapacity = 260;

// What the threads of the process share: the one logger, and the file and
// limit of the first thread that set logging up, for threads that log
// without a set-up of their own.
struct SharedLogState {
    LogIdentity identity = LogIdentity::OfProcess();
    Log4NetEmulator logger{u"qmlib.Tracer", identity};
    std::mutex guard;
    std::u16string path;
    DWORD limit = kDefaultLogFileLimit;
};

SharedLogState& Shared()
{
    static SharedLogState state;
    return state;
}

void TraceV(LogLevel level, const char16_t* format, std::va_list args)
{
    try {
        Tracer& tracer = Tracer::Current();
        if (!tracer.Enabled() || tracer.WritingRecord()) return;
        tracer.WriteRecord(level, FormatV(format, args));
    } catch (...) {
        // logging never makes the logged operation fail
    }
}

void EchoToStandardOutput(const std::u16string& message)
{
    const std::string line = valmorin::text::Utf16ToUtf8(message) + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
}

DWORD ConfiguredLimit()
{
    DWORD limit = 0;
    try {
        CRegistry key(kLogSettingsKey);
        limit = key.ReadSubKey(kLogFileSizeValue);
    } catch (const CException&) {
        // not configured: the default applies
    }
    return limit != 0 ? limit : kDefaultLogFileLimit;
}

std::u16string ModuleFilePath(HMODULE module)
{
    char16_t path[kModulePathCapacity] = {};
    GetModuleFileNameW(module, path, kModulePathCapacity);
    return path;
}

} // namespace

void Trace(LogLevel level, const char16_t* format, ...)
{
    std::va_list args;
    va_start(args, format);
    TraceV(level, format, args);
    va_end(args);
}

void TraceDebug(const char16_t* format, ...)
{
    std::va_list args;
    va_start(args, format);
    TraceV(LogLevel::Debug, format, args);
    va_end(args);
}

Tracer& Tracer::Current()
{
    thread_local Tracer tracer;
    return tracer;
}

Tracer::Tracer()
{
    SharedLogState& shared = Shared();
    const std::lock_guard lock(shared.guard);
    m_path = shared.path;
    m_disabled = m_path.empty();
    m_limit = shared.limit;
}

void Tracer::Disable()
{
    m_disabled = true;
    m_sink = nullptr;
}

void Tracer::Redirect(LogSink& sink)
{
    m_disabled = false;
    m_sink = &sink;
}

void Tracer::ConfigureFromRegistry(std::u16string_view fileName, HMODULE module)
{
    Setup(fileName, module, ConfiguredLimit());
}

void Tracer::Setup(std::u16string_view fileName, HMODULE module, DWORD limit)
{
    if (fileName.empty() || (m_initialised && !m_path.empty())) return;
    // What the set-up itself would log (folders created, failures) is not
    // wanted before the header.
    m_disabled = true;
    DecidePath(fileName, limit);
    m_disabled = false;
    m_initialised = true;
    WriteHeaderLines(module);
}

void Tracer::DecidePath(std::u16string_view fileName, DWORD limit)
{
    SharedLogState& shared = Shared();
    const std::lock_guard lock(shared.guard);
    try {
        if (!m_initialised && m_path.empty()) m_path = shared.path;
        if (m_path.empty() || LastComponent(m_path) != fileName) m_path = LogFilePath(fileName);
        m_limit = limit;
        if (shared.path.empty()) {
            shared.path = m_path;
            shared.limit = limit;
        }
    } catch (...) {
        // the thread keeps the file it had, if any
    }
}

void Tracer::WriteHeaderLines(HMODULE module)
{
    try {
        const std::u16string modulePath = ModuleFilePath(module);
        const CPEFile moduleFile(modulePath);
        const std::u16string version = moduleFile.ProductVersion();
        const std::u16string product = moduleFile.ProductName();
        const std::u16string user = CSystem::userName();
        const std::u16string domain = CSystem::domainName();
        WriteFormatted(LogLevel::Info, u"File: %s; Product: %s; Version: %s",
                       std::u16string(LastComponent(modulePath)).c_str(), product.c_str(), version.c_str());
        WriteFormatted(LogLevel::Debug, u"Domain:'%s' User:'%s'", domain.c_str(), user.c_str());
    } catch (...) {
        // a log without its header is still a log
    }
}

void Tracer::WriteRecord(LogLevel level, const std::u16string& message)
{
    if (m_disabled || m_writingRecord) return;
    if (level != LogLevel::Debug) EchoToStandardOutput(message);
    if (m_sink)
        m_sink->Write(level, message);
    else
        AppendToFile(level, message);
}

void Tracer::WriteFormatted(LogLevel level, const char16_t* format, ...)
{
    std::va_list args;
    va_start(args, format);
    const std::u16string text = FormatV(format, args);
    va_end(args);
    WriteRecord(level, FitToBuffer(text, kFormattedCapacity));
}

void Tracer::AppendToFile(LogLevel level, const std::u16string& message)
{
    // Failures on the way (no lock, no file, no size) log themselves; those
    // records must not come back here.
    const CRecordInProgress inProgress;
    try {
        SharedLogState& shared = Shared();
        AppendLogRecord(shared.logger, shared.identity.computerName, m_path, m_limit, message, level);
    } catch (...) {
        // the record is dropped
    }
}

CRecordInProgress::CRecordInProgress() : m_outer(Tracer::Current().m_writingRecord)
{
    Tracer::Current().m_writingRecord = true;
}

CRecordInProgress::~CRecordInProgress() { Tracer::Current().m_writingRecord = m_outer; }

} // namespace qmt
