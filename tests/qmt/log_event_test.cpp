#include "platform/text/utf.h"
#include "platform/win32/sysinfo.h"
#include "qmt/diag/exception.h"
#include "qmt/diag/logger.h"
#include "qmt/diag/trace.h"
#include "support/memory_log.h"
#include "support/seams.h"
#include "qmt/sys/date.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>

using qmt::LogLevel;

namespace {

// 5 December 2026, 01:24:56, a Saturday.
constexpr SYSTEMTIME kFifthDecember{2026, 12, 6, 5, 1, 24, 56, 0};

class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const char* value) : m_name(name)
    {
        if (const char* old = std::getenv(name)) m_old = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnvironment()
    {
        if (m_old)
            setenv(m_name.c_str(), m_old->c_str(), 1);
        else
            unsetenv(m_name.c_str());
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::string m_name;
    std::optional<std::string> m_old;
};

// Sends what the process prints on standard output to a file meanwhile.
class CapturedStandardOutput {
public:
    CapturedStandardOutput() : m_file(m_dir / "stdout")
    {
        std::fflush(stdout);
        m_saved = dup(STDOUT_FILENO);
        const int file = open(m_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(file, STDOUT_FILENO);
        close(file);
    }
    ~CapturedStandardOutput() { Restore(); }
    CapturedStandardOutput(const CapturedStandardOutput&) = delete;
    CapturedStandardOutput& operator=(const CapturedStandardOutput&) = delete;

    std::string Text()
    {
        Restore();
        std::ostringstream text;
        text << std::ifstream(m_file).rdbuf();
        return text.str();
    }

private:
    void Restore()
    {
        if (m_saved < 0) return;
        std::fflush(stdout);
        dup2(m_saved, STDOUT_FILENO);
        close(m_saved);
        m_saved = -1;
    }

    TempDir m_dir;
    std::filesystem::path m_file;
    int m_saved = -1;
};

std::string FileBytes(const std::filesystem::path& file)
{
    std::ostringstream bytes;
    bytes << std::ifstream(file, std::ios::binary).rdbuf();
    return bytes.str();
}

std::size_t Count(const std::string& text, const std::string& piece)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++count;
    return count;
}

// Records go to memory, the clock stands at kFifthDecember, the user's
// locale is English (United States).
class LogEventTest : public ::testing::Test {
protected:
    std::u16string LogPath() const { return valmorin::text::Widen((m_dir / "Valmorin.log").string()); }
    std::string LogBytes() const { return FileBytes(m_dir / "Valmorin.log"); }
    static std::string ThreadId() { return std::to_string(GetCurrentThreadId()); }

    const qmt::LogIdentity m_identity{u"bob & \"sons\"", u"PC&\"1\"", u"/opt/a&b/\"host\""};

private:
    TempDir m_dir;
    ScopedEnvironment m_locale{"LC_ALL", "en_US.UTF-8"};
    FixedLocalTime m_clock{kFifthDecember};

protected:
    MemoryLog m_log;
};

TEST_F(LogEventTest, OneEventIsSixCrLfLinesWithOnlyTheMessageEscaped)
{
    qmt::Log4NetEmulator logger(u"qmlib.Tracer", m_identity);
    ASSERT_TRUE(logger.Open(LogPath()));
    logger.Write(u"<&\"'>\nsecond line \u00e9", static_cast<LogLevel>(7));
    logger.Close();

    EXPECT_EQ(LogBytes(),
              "\xEF\xBB\xBF"
              "<log4net:event logger=\"qmlib.Tracer\" timestamp=\"12/5/2026 1:24:56 AM\" level=\"\" "
              "thread=\"" +
                  ThreadId() +
                  "\" domain=\"/opt/a&b/\"host\"\" username=\"bob & \"sons\"\">\r\n"
                  "\t<log4net:message>&lt;&amp;&quot;&apos;&gt;\r\nsecond line \xC3\xA9</log4net:message>\r\n"
                  "\t<log4net:global-properties>\r\n"
                  "\t\t<log4net:data name=\"log4net:HostName\" value=\"PC&\"1\"\"/>\r\n"
                  "\t</log4net:global-properties>\r\n"
                  "</log4net:event>\r\n");
}

TEST_F(LogEventTest, ReopenedFileGrowsByWholeEventsUnderOneByteOrderMark)
{
    qmt::Log4NetEmulator logger(u"qmlib.Tracer", m_identity);
    ASSERT_TRUE(logger.Open(LogPath()));
    logger.Info(u"a");
    logger.Debug(u"b");
    logger.Close();
    ASSERT_TRUE(logger.Open(LogPath()));
    logger.Warning(u"c");
    logger.Error(u"d");
    logger.Close();

    const std::string bytes = LogBytes();
    EXPECT_EQ(bytes.rfind("\xEF\xBB\xBF"), 0u);
    EXPECT_EQ(Count(bytes, "<log4net:event "), 4u);
    EXPECT_EQ(Count(bytes, "</log4net:event>\r\n"), 4u);
    EXPECT_EQ(Count(bytes, "\n"), 24u);
    EXPECT_EQ(Count(bytes, "\r\n"), 24u);
    const std::size_t info = bytes.find("level=\"INFO\"");
    const std::size_t debug = bytes.find("level=\"DEBUG\"");
    const std::size_t warning = bytes.find("level=\"WARNING\"");
    const std::size_t error = bytes.find("level=\"ERROR\"");
    EXPECT_TRUE(info < debug && debug < warning && warning < error && error != std::string::npos);
    EXPECT_TRUE(bytes.ends_with("</log4net:event>\r\n"));
}

TEST_F(LogEventTest, NothingIsWrittenWithoutAnOpenFile)
{
    qmt::Log4NetEmulator logger(u"qmlib.Tracer", m_identity);
    logger.Write(u"lost", LogLevel::Error);
    EXPECT_FALSE(logger.Open(LogPath() + u"/not/a/folder/x.log"));
    logger.Write(u"lost", LogLevel::Error);
    EXPECT_TRUE(LogBytes().empty());
}

TEST_F(LogEventTest, IdentityTextsAreCutToTheLoggersBuffers)
{
    const qmt::LogIdentity longIdentity{std::u16string(300, u'u'), u"ABCDEFGHIJKLMNOPQRST", std::u16string(300, u'm')};
    qmt::Log4NetEmulator logger(std::u16string(150, u'n'), longIdentity);
    ASSERT_TRUE(logger.Open(LogPath()));
    logger.Info(u"x");
    logger.Close();

    const std::string bytes = LogBytes();
    EXPECT_NE(bytes.find("logger=\"" + std::string(99, 'n') + "\""), std::string::npos);
    EXPECT_NE(bytes.find("username=\"" + std::string(259, 'u') + "\""), std::string::npos);
    EXPECT_NE(bytes.find("domain=\"" + std::string(260, 'm') + "\""), std::string::npos);
    EXPECT_NE(bytes.find("value=\"ABCDEFGHIJKLMNO\""), std::string::npos);
}

TEST_F(LogEventTest, UnformattableTimeGivesAnEmptyTimestampAndNoNestedRecord)
{
    const FixedLocalTime invalid(SYSTEMTIME{});
    qmt::Log4NetEmulator logger(u"qmlib.Tracer", m_identity);
    ASSERT_TRUE(logger.Open(LogPath()));
    logger.Info(u"still written");
    logger.Close();

    EXPECT_NE(LogBytes().find("timestamp=\"\" level=\"INFO\""), std::string::npos);
    EXPECT_NE(LogBytes().find("still written"), std::string::npos);
    EXPECT_TRUE(m_log.records().empty());

    qmt::Trace(LogLevel::Info, u"after the event");
    EXPECT_EQ(m_log.records().size(), 1u);
}

TEST_F(LogEventTest, EveryLevelButDebugIsEchoedOnStandardOutput)
{
    CapturedStandardOutput output;
    qmt::Trace(LogLevel::Info, u"info %d", 1);
    qmt::TraceDebug(u"debug");
    qmt::Trace(LogLevel::Debug, u"debug again");
    qmt::Trace(LogLevel::Warning, u"warning \u00e9");
    qmt::Trace(LogLevel::Error, u"error");
    qmt::Trace(static_cast<LogLevel>(7), u"seven");
    EXPECT_EQ(output.Text(), "info 1\nwarning \xC3\xA9\nerror\nseven\n");
    EXPECT_EQ(m_log.records().size(), 6u);
}

TEST(TraceOutput, DisabledThreadEchoesNothing)
{
    qmt::Tracer::Current().Disable();
    CapturedStandardOutput output;
    qmt::Trace(LogLevel::Error, u"error");
    EXPECT_EQ(output.Text(), "");
}

class LocalTimeText : public ::testing::Test {
protected:
    static std::u16string Now()
    {
        qmt::CDateLocal date;
        date.setNow();
        return date.dateTimeText();
    }

    FixedLocalTime m_clock{kFifthDecember};
};

TEST_F(LocalTimeText, UserLocaleGivesTheWindowsDefaultPatterns)
{
    const ScopedEnvironment lcTime("LC_TIME", nullptr);
    const ScopedEnvironment lang("LANG", nullptr);
    const std::pair<const char*, std::u16string> cases[] = {
        {"en_US.UTF-8", u"12/5/2026 1:24:56 AM"}, {"en_GB.UTF-8", u"05/12/2026 01:24:56"},
        {"de_DE@euro", u"05.12.2026 01:24:56"},   {"fr_FR", u"05/12/2026 01:24:56"},
        {"nl_NL.UTF-8", u"5-12-2026 01:24:56"},   {"es_ES.UTF-8", u"05/12/2026 1:24:56"},
        {"C", u"12/5/2026 1:24:56 AM"},           {"xx_YY.UTF-8", u"12/5/2026 1:24:56 AM"},
    };
    for (const auto& [locale, expected] : cases) {
        const ScopedEnvironment all("LC_ALL", locale);
        EXPECT_EQ(Now(), expected) << locale;
    }
}

TEST_F(LocalTimeText, LocaleVariablesFollowThePosixPrecedence)
{
    const ScopedEnvironment all("LC_ALL", nullptr);
    const ScopedEnvironment lang("LANG", "de_DE.UTF-8");
    {
        const ScopedEnvironment lcTime("LC_TIME", "en_GB.UTF-8");
        EXPECT_EQ(Now(), u"05/12/2026 01:24:56");
    }
    const ScopedEnvironment lcTime("LC_TIME", nullptr);
    EXPECT_EQ(Now(), u"05.12.2026 01:24:56");
}

TEST_F(LocalTimeText, TwelveHourClockAroundNoonAndMidnight)
{
    const ScopedEnvironment all("LC_ALL", "en_US.UTF-8");
    const FixedLocalTime midnight(SYSTEMTIME{2026, 1, 4, 1, 0, 5, 9, 0});
    EXPECT_EQ(Now(), u"1/1/2026 12:05:09 AM");
    const FixedLocalTime afternoon(SYSTEMTIME{2026, 2, 6, 28, 13, 0, 0, 0});
    EXPECT_EQ(Now(), u"2/28/2026 1:00:00 PM");
    const FixedLocalTime noon(SYSTEMTIME{2028, 2, 2, 29, 12, 59, 59, 999});
    EXPECT_EQ(Now(), u"2/29/2028 12:59:59 PM");
}

TEST(DateText, InvalidDateThrowsAfterItsDebugRecord)
{
    const ScopedEnvironment all("LC_ALL", "en_US.UTF-8");
    const MemoryLog log;
    const qmt::CDate unset;
    try {
        (void)unset.dateText(0);
        ADD_FAILURE() << "no exception";
    } catch (const qmt::CWinException& e) {
        EXPECT_EQ(e.code, 87u);
    }
    ASSERT_FALSE(log.records().empty());
    EXPECT_EQ(log.records().front().message, u"Exception in CDate::GetDateFormat");
    EXPECT_EQ(unset.dateTimeText(), u"");
    EXPECT_EQ(unset.timeText(0), u"12:00:00 AM");
    qmt::Tracer::Current().Disable();
}

} // namespace
