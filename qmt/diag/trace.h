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

// The calling thread's log state. Logging is off until switched on.
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

private:
    bool m_enabled = false;
    std::vector<LogRecord> m_records;
};

} // namespace qmt
