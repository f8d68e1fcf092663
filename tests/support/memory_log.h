// The calling thread's log records, kept in memory while the object lives,
// for tests that read what was logged.
#pragma once

#include "qmt/diag/trace.h"

#include <string>
#include <vector>

struct LogRecord {
    qmt::LogLevel level;
    std::u16string message;
};

class MemoryLog final : public qmt::LogSink {
public:
    MemoryLog() { qmt::Tracer::Current().Redirect(*this); }
    ~MemoryLog() { qmt::Tracer::Current().Disable(); }
    MemoryLog(const MemoryLog&) = delete;
    MemoryLog& operator=(const MemoryLog&) = delete;

    void Write(qmt::LogLevel level, const std::u16string& message) override { m_records.push_back({level, message}); }
    const std::vector<LogRecord>& records() const { return m_records; }
    void Clear() { m_records.clear(); }

private:
    std::vector<LogRecord> m_records;
};
