#include "qmt/diag/trace.h"

#include "platform/text/utf.h"
#include "qmt/diag/format.h"

#include <cstdarg>
#include <cstdio>

namespace qmt {

namespace {

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
    const std::string line = text::Utf16ToUtf8(message) + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
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

void Tracer::Disable()
{
    m_enabled = false;
    m_records.clear();
}

void Tracer::EnableMemory() { m_enabled = true; }

void Tracer::WriteRecord(LogLevel level, const std::u16string& message)
{
    if (level != LogLevel::Debug) EchoToStandardOutput(message);
    m_records.push_back({level, message});
}

CRecordInProgress::CRecordInProgress() : m_outer(Tracer::Current().m_writingRecord)
{
    Tracer::Current().m_writingRecord = true;
}

CRecordInProgress::~CRecordInProgress() { Tracer::Current().m_writingRecord = m_outer; }

} // namespace qmt
