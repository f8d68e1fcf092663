// The log file is rotated once it has reached its limit: at the limit, not
// one byte past it.
#include "qmt/diag/log_file.h"
#include "qmt/diag/logger.h"
#include "support/temp_dir.h"

#include "platform/text/utf.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

// Appends each message's bytes as they are, so that the file's size is
// known to the byte.
class PlainLogger final : public qmt::ILogger {
public:
    void Write(std::u16string_view message, qmt::LogLevel) override { m_out << valmorin::text::Utf16ToUtf8(message); }
    void Info(std::u16string_view message) override { Write(message, qmt::LogLevel::Info); }
    void Debug(std::u16string_view message) override { Write(message, qmt::LogLevel::Debug); }
    void Warning(std::u16string_view message) override { Write(message, qmt::LogLevel::Warning); }
    void Error(std::u16string_view message) override { Write(message, qmt::LogLevel::Error); }
    bool Open(const std::u16string& path) override
    {
        m_out.open(valmorin::text::Utf16ToUtf8(path), std::ios::app | std::ios::binary);
        return m_out.is_open();
    }
    void Close() override { m_out.close(); }
    void WriteFooter() override {}
    void WriteHeader() override {}

private:
    std::ofstream m_out;
};

// Fault caught: rotation when the size exceeds the limit instead of
// reaching it (or one byte early).
TEST(LogRotation, TheFileIsRotatedWhenItReachesItsLimit)
{
    for (const DWORD limit : {9u, 10u, 11u}) {
        SCOPED_TRACE(limit);
        TempDir folder;
        const std::u16string path = valmorin::text::Widen((folder / "Test.log").string());
        PlainLogger logger;
        qmt::AppendLogRecord(logger, u"host", path, limit, u"12345", qmt::LogLevel::Info);
        qmt::AppendLogRecord(logger, u"host", path, limit, u"67890", qmt::LogLevel::Info);
        const bool rotated = std::filesystem::exists(folder / "Test.old.log");
        EXPECT_EQ(rotated, limit <= 10) << "the file held 10 bytes";
        EXPECT_EQ(std::filesystem::exists(folder / "Test.log"), limit > 10);
    }
}

} // namespace
