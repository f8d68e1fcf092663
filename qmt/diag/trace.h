// The log entry points. Every layer writes its diagnostics through Trace and
// TraceDebug; whether a record is kept is decided per thread by its Tracer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qmt {

enum class LogLevel : std::int32_t { Info = 0, Debug = 1, Warning = 2, Error = 3 };

void Trace(LogLevel level, const char16_t* format, ...);
void TraceDebug(const char16_t* format, ...);

struct LogRecord {
    LogLevel level;
    std::u16string message;
};

// The calling thread's log state. Logging is off until switched on. Records
// of every level but Debug are also printed on standard output.
class Tracer {
public:
    static Tracer& Current();

    bool Enabled() const { return m_enabled; }
    void Disable();
    // Keeps records in memory, for callers that inspect what was logged.
    void EnableMemory();
    void WriteRecord(LogLevel level, const std::u16string& message);
    const std::vector<LogRecord>& MemoryRecords() const { return m_records; }
    void ClearMemory() { m_records.clear(); }
    bool WritingRecord() const { return m_writingRecord; }

private:
    friend class CRecordInProgress;

    bool m_enabled = false;
    bool m_writingRecord = false;
    std::vector<LogRecord> m_records;
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
