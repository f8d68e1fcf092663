// The log entry points. Every layer writes its diagnostics through Trace and
// TraceDebug; whether a record is kept is decided per thread by its Tracer.
#pragma once

#include "platform/win32/sysinfo.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace qmt {

enum class LogLevel : std::int32_t { Info = 0, Debug = 1, Warning = 2, Error = 3 };

void Trace(LogLevel level, const char16_t* format, ...);
void TraceDebug(const char16_t* format, ...);

// Where a thread's records go instead of its log file.
class LogSink {
public:
    virtual void Write(LogLevel level, const std::u16string& message) = 0;

protected:
    ~LogSink() = default;
};

// The calling thread's log state. A thread logs once it has set the log
// file up, or when another thread of the process had done so before this
// thread first logged: it then writes into that thread's file, with its
// limit. Records of every level but Debug are also printed on standard
// output.
class Tracer {
public:
    static Tracer& Current();

    bool Enabled() const { return !m_disabled; }
    void Disable();
    // Enables the thread and sends its records to sink instead of the file
    // until Disable; the caller keeps the sink alive until then.
    void Redirect(LogSink& sink);

    // Setup with the limit set by "LogFileSize" under
    // HKEY_LOCAL_MACHINE\SOFTWARE\Pelkor\COMMON, 512 KiB when it is 0 or
    // not set.
    void ConfigureFromRegistry(std::u16string_view fileName, HMODULE module);
    // Places the file named fileName (log_file.h), enables the thread and
    // writes the header lines: the module's file, product and version, and
    // the process's domain and user. Runs once per thread; the first thread
    // of the process to run it fixes the file and limit that threads
    // without a set-up of their own use. Never throws: what fails leaves
    // the thread logging into whatever file it had, or nowhere.
    void Setup(std::u16string_view fileName, HMODULE module, DWORD limit);

    void WriteRecord(LogLevel level, const std::u16string& message);
    // WriteRecord of a text formatted into at most 1023 characters.
    void WriteFormatted(LogLevel level, const char16_t* format, ...);

    bool WritingRecord() const { return m_writingRecord; }

private:
    friend class CRecordInProgress;

    Tracer();
    void DecidePath(std::u16string_view fileName, DWORD limit);
    void WriteHeaderLines(HMODULE module);
    void AppendToFile(LogLevel level, const std::u16string& message);

    std::u16string m_path;
    bool m_disabled = true;
    DWORD m_limit = 0;
    bool m_initialised = false;
    LogSink* m_sink = nullptr;
    bool m_writingRecord = false;
};

// Marks the calling thread as writing a log record while the object lives.
// Whatever the writing itself would log meanwhile (a timestamp that cannot
// be formatted, an exception raised in the logger) is dropped: a record is
// never written from inside another.
class CRecordInProgress {
public:
    CRecordInProgress();
    ~CRecordInProgress();
    CRecordInProgress(const CRecordInProgress&) = delete;
    CRecordInProgress& operator=(const CRecordInProgress&) = delete;

private:
    bool m_outer;
};

} // namespace qmt
