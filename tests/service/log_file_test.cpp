#include "platform/text/utf.h"
#include "platform/win32/sysinfo.h"
#include "qmt/diag/trace.h"
#include "qmt/sys/system.h"
#include "service/debug_switch.h"
#include "service/valmorin.h"
#include "support/component.h"
#include "support/process.h"
#include "support/component_library.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

using qmt::Tracer;

namespace {

constexpr char kLogSettingsKey[] = "HKLM\\SOFTWARE\\Pelkor\\COMMON";
constexpr char kComponentKey[] = "HKLM\\SOFTWARE\\Pelkor\\Common\\Valmorin";
constexpr DWORD kHalfMegabyte = 524288;
const std::string kFileLine = "File: libvalmorin.so; Product: Valmorin; Version: 1.3.0";
// What a thread that logs already records when it reads the size limit.
const std::string kLimitLookup = "Registry Open HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelkor\\COMMON";

struct Account {
    uid_t uid;
    gid_t gid;
    std::string name;
};

// The per-user file is only seen by an ordinary account: as root, the
// children run as "nobody".
Account OrdinaryAccount()
{
    const passwd* entry = geteuid() == 0 ? getpwnam("nobody") : getpwuid(geteuid());
    if (entry == nullptr) throw std::runtime_error("no ordinary account to run as");
    return {entry->pw_uid, entry->pw_gid, entry->pw_name};
}

// Logging set-up is per process, so each scenario runs in a forked process,
// as the account when one is given, on a fresh thread (the forking thread's
// log state comes along). The exit code is the body's result, 99 when it
// threw.
pid_t StartChild(const Account* account, const std::function<int()>& body)
{
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid != 0) return pid;
    const int quiet = open("/dev/null", O_WRONLY);
    dup2(quiet, STDOUT_FILENO);
    dup2(quiet, STDERR_FILENO);
    if (account && geteuid() != account->uid &&
        (setgroups(0, nullptr) != 0 || setgid(account->gid) != 0 || setuid(account->uid) != 0))
        _exit(98);
    int code = 99;
    std::thread([&] {
        try {
            code = body();
        } catch (...) {
        }
    }).join();
    std::fflush(nullptr);
    _exit(code);
}

int WaitChild(pid_t pid)
{
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void OnNewThread(const std::function<void()>& body) { std::thread(body).join(); }

std::string FileBytes(const std::filesystem::path& file)
{
    std::ostringstream bytes;
    bytes << std::ifstream(file, std::ios::binary).rdbuf();
    return bytes.str();
}

struct Event {
    std::string level, thread, user, message;
};

// An event as the log layout writes it, with its message taken out.
const std::regex kEventShape("<log4net:event logger=\"qmlib\\.Tracer\" timestamp=\"[^\"]*\" "
                             "level=\"(INFO|DEBUG|WARNING|ERROR)\" thread=\"([0-9]+)\" domain=\"[^\"]*\" "
                             "username=\"([^\"]*)\">\r\n\t<log4net:message></log4net:message>\r\n"
                             "\t<log4net:global-properties>\r\n"
                             "\t\t<log4net:data name=\"log4net:HostName\" value=\"[^\"]*\"/>\r\n"
                             "\t</log4net:global-properties>\r\n</log4net:event>\r\n");

// A log file must be a byte-order mark followed by whole events only.
std::vector<Event> Events(const std::filesystem::path& file)
{
    constexpr std::string_view kMessage = "<log4net:message>", kEnd = "</log4net:event>\r\n";
    const std::string bytes = FileBytes(file);
    EXPECT_TRUE(bytes.starts_with("\xEF\xBB\xBF")) << file;
    std::vector<Event> events;
    for (std::size_t at = 3, end; at < bytes.size(); at = end + kEnd.size()) {
        end = bytes.find(kEnd, at);
        std::string text = bytes.substr(at, end == std::string::npos ? end : end + kEnd.size() - at);
        const std::size_t open = text.find(kMessage);
        const std::size_t from = open == std::string::npos ? 0 : open + kMessage.size();
        const std::string message = text.substr(from, text.find('<', from) - from);
        text.erase(from, message.size());
        std::smatch shape;
        if (end == std::string::npos || !std::regex_match(text, shape, kEventShape)) {
            ADD_FAILURE() << file << ": malformed after " << events.size() << " events";
            break;
        }
        events.push_back({shape[1], shape[2], shape[3], message});
    }
    return events;
}

// Without the records of files opened and closed on the way, which reading
// the module's version makes as often as it needs.
std::vector<std::string> Messages(const std::vector<Event>& events)
{
    std::vector<std::string> messages;
    for (const Event& event : events)
        if (!event.message.starts_with("open file:") && !event.message.starts_with("close file:"))
            messages.push_back(event.message);
    return messages;
}

std::vector<std::string> Header(const std::string& user, std::vector<std::string> after = {})
{
    const std::string domain = valmorin::text::Utf16ToUtf8(qmt::CSystem::domainName());
    std::vector<std::string> lines = {"Domain :" + domain, kFileLine,
                                      "Domain:&apos;" + domain + "&apos; User:&apos;" + user + "&apos;"};
    lines.insert(lines.end(), after.begin(), after.end());
    return lines;
}

// A registry and a per-user data folder of the test's own, both usable by
// the account the children run as.
class LogFileTest : public ::testing::Test {
protected:
    LogFileTest()
    {
        for (const TempDir* folder : {&m_registry, &m_data}) {
            chmod(folder->path().c_str(), 0755);
            EXPECT_EQ(chown(folder->path().c_str(), m_user.uid, m_user.gid), 0);
        }
    }

    void SetRegistry(const char* key, const std::string& name, const std::string& type, const std::string& data) const
    {
        const ProcessResult set =
            RunProcess({VALMORIN_CLI, "reg", "add", key, "/v", name, "/t", type, "/d", data, "/f"}, "",
                       {{"PELKOR_REGISTRY_DIR", m_registry.path().string()}});
        ASSERT_EQ(set.exitCode, 0) << set.err;
    }

    pid_t StartAsUser(const std::function<int()>& body) const
    {
        return StartChild(&m_user, [this, body] {
            setenv("PELKOR_REGISTRY_DIR", m_registry.path().c_str(), 1);
            setenv("XDG_DATA_HOME", m_data.path().c_str(), 1);
            return body();
        });
    }
    int RunAsUser(const std::function<int()>& body) const { return WaitChild(StartAsUser(body)); }

    std::filesystem::path LogFile(const std::string& name = "Valmorin.log") const
    {
        return m_data.path() / "Pelkor" / "QMS" / name;
    }

    const Account m_user = OrdinaryAccount();
    const std::string& m_userName = m_user.name;
    TempDir m_registry;
    TempDir m_data;
};

TEST_F(LogFileTest, OrdinaryUserLogsUnderTheDataFolderAfterTheHeaderLines)
{
    ASSERT_EQ(RunAsUser([] {
                  EnableLogFile();
                  qmt::Trace(qmt::LogLevel::Warning, u"<%s> & %d", u"first", 1);
                  EnableLogFile(); // no second header
                  qmt::TraceDebug(u"second");
                  return 0;
              }),
              0);

    const std::vector<Event> events = Events(LogFile());
    EXPECT_EQ(Messages(events), Header(m_userName, {"&lt;first&gt; &amp; 1", kLimitLookup, "second"}));
    std::map<std::string, std::string> levels;
    for (const Event& event : events) levels[event.message] = event.level;
    EXPECT_EQ(levels[kFileLine], "INFO");
}

TEST_F(LogFileTest, SystemAccountLogsUnderVarLog)
{
    if (geteuid() != 0) GTEST_SKIP() << "the superuser plays the system account";
    const std::filesystem::path pelkor = std::filesystem::path(std::getenv("PELKOR_ROOT")) / "var/log/Pelkor";
    const std::string name = "valmorin-test-" + std::to_string(getpid()) + ".log";
    ASSERT_EQ(WaitChild(StartChild(nullptr,
                                   [&name] {
                                       Tracer::Current().Setup(valmorin::text::Widen(name), ComponentModule(),
                                                               kHalfMegabyte);
                                       return 0;
                                   })),
              0);

    EXPECT_EQ(Messages(Events(pelkor / "QMS" / name)), Header("SYSTEM"));
}

TEST_F(LogFileTest, ThreadsWithoutSetUpShareTheFileOfTheFirstOne)
{
    ASSERT_EQ(RunAsUser([] {
                  EnableLogFile();
                  qmt::TraceDebug(u"first thread");
                  OnNewThread([] { qmt::TraceDebug(u"no set-up"); });
                  OnNewThread([] {
                      Tracer::Current().Disable();
                      qmt::TraceDebug(u"disabled");
                  });
                  OnNewThread([] {
                      Tracer::Current().Setup(u"Other.log", nullptr, kHalfMegabyte);
                      qmt::TraceDebug(u"own file");
                  });
                  // that later set-up left the shared file alone
                  OnNewThread([] { qmt::TraceDebug(u"after the other set-up"); });
                  OnNewThread([] { EnableLogFile(); });
                  return 0;
              }),
              0);

    const std::vector<Event> events = Events(LogFile());
    std::vector<std::string> expected =
        Header(m_userName, {"first thread", "no set-up", "after the other set-up", kLimitLookup});
    const std::vector<std::string> again = Header(m_userName);
    expected.insert(expected.end(), again.begin(), again.end());
    EXPECT_EQ(Messages(events), expected);
    EXPECT_EQ(Messages(Events(LogFile("Other.log"))).back(), "own file");
    std::map<std::string, std::string> threads;
    for (const Event& event : events) threads[event.message] = event.thread;
    EXPECT_NE(threads["first thread"], threads["no set-up"]);
}

TEST_F(LogFileTest, LimitOfOneRotatesAfterEveryRecord)
{
    SetRegistry(kLogSettingsKey, "LogFileSize", "REG_DWORD", "1");
    ASSERT_EQ(RunAsUser([] {
                  EnableLogFile();
                  qmt::TraceDebug(u"one");
                  qmt::TraceDebug(u"two");
                  return 0;
              }),
              0);

    EXPECT_FALSE(std::filesystem::exists(LogFile()));
    EXPECT_EQ(Messages(Events(LogFile("Valmorin.old.log"))), std::vector<std::string>{"two"});
}

TEST_F(LogFileTest, LimitOfZeroMeansHalfAMegabyte)
{
    SetRegistry(kLogSettingsKey, "LogFileSize", "REG_DWORD", "0");
    const std::filesystem::path rotated = LogFile("Valmorin.old.log");
    ASSERT_EQ(RunAsUser([&rotated] {
                  EnableLogFile();
                  const std::u16string padding(200, u'x');
                  for (int i = 0; i < 5000 && !std::filesystem::exists(rotated); ++i)
                      qmt::TraceDebug(u"record %d %s", i, padding.c_str());
                  return 0;
              }),
              0);

    // The header is still in it: the record that crossed the limit was the
    // first to end the file.
    const std::string bytes = FileBytes(rotated);
    EXPECT_GE(bytes.size(), kHalfMegabyte);
    EXPECT_LT(bytes.rfind("<log4net:event "), kHalfMegabyte);
    EXPECT_EQ(Messages(Events(rotated))[0], Header(m_userName)[0]);
}

TEST_F(LogFileTest, TwoProcessesKeepEveryRecordWhole)
{
    constexpr int kRecords = 500;
    SetRegistry(kLogSettingsKey, "LogFileSize", "REG_DWORD", "0x10000000");
    // Each event takes several writes to the file: unlocked writers would
    // interleave. Both start writing when the gate closes.
    int gate[2] = {};
    ASSERT_EQ(pipe(gate), 0);
    const auto writer = [&gate](char16_t process) {
        return [&gate, process] {
            EnableLogFile();
            close(gate[1]);
            char ignored = 0;
            (void)read(gate[0], &ignored, 1);
            const std::u16string padding(10000, process);
            for (int i = 0; i < kRecords; ++i) qmt::TraceDebug(u"%c %d %s", process, i, padding.c_str());
            return 0;
        };
    };
    const pid_t a = StartAsUser(writer(u'a'));
    const pid_t b = StartAsUser(writer(u'b'));
    close(gate[1]);
    close(gate[0]);
    ASSERT_EQ(WaitChild(a), 0);
    ASSERT_EQ(WaitChild(b), 0);

    std::map<char, int> next = {{'a', 0}, {'b', 0}};
    for (const std::string& message : Messages(Events(LogFile()))) {
        if (message.size() < 10000) continue; // the header lines
        const char process = message[0];
        const std::string expected =
            process + (" " + std::to_string(next[process]++) + " ") + std::string(10000, process);
        EXPECT_TRUE(message == expected) << "record " << next[process] - 1 << " of " << process; // too long to show
    }
    EXPECT_EQ(next, (std::map<char, int>{{'a', kRecords}, {'b', kRecords}}));
}

TEST_F(LogFileTest, OnlyYOrCapitalYSwitchesTheConstructingThreadOn)
{
    const std::pair<const char*, bool> cases[] = {{nullptr, false}, {"y", true},  {"Y", true},
                                                  {"yes", false},   {"n", false}, {"", false}};
    for (const auto& [value, on] : cases) {
        std::filesystem::remove_all(m_data.path() / "Pelkor");
        if (value) SetRegistry(kComponentKey, "Debug", "REG_SZ", value);
        const std::string shown = value ? value : "(none)";
        // The constructing thread starts out logging, into the file of an
        // earlier set-up, so that switching it off shows.
        const int enabled = RunAsUser([] {
            Tracer::Current().Setup(u"Other.log", nullptr, kHalfMegabyte);
            int result = 0;
            OnNewThread([&result] {
                const CComPtr<CValmorin> component = CValmorin::Create();
                result = Tracer::Current().Enabled() ? 1 : 0;
                qmt::TraceDebug(u"after construction");
            });
            return result;
        });
        EXPECT_EQ(enabled, on ? 1 : 0) << shown;
        const std::vector<std::string> own =
            std::filesystem::exists(LogFile()) ? Messages(Events(LogFile())) : std::vector<std::string>{};
        EXPECT_EQ(!own.empty() && own.back() == "after construction", on) << shown;
        const std::vector<std::string> other = Messages(Events(LogFile("Other.log")));
        EXPECT_EQ(std::count(other.begin(), other.end(), "after construction"), 0) << shown;
    }
}

TEST_F(LogFileTest, DebugSwitchMakesAnyCommandLogWellFormedEvents)
{
    SetRegistry(kComponentKey, "Debug", "REG_SZ", "y");
    const auto command = [](std::vector<std::string> args) {
        return [args]() mutable {
            std::vector<char*> argv = {const_cast<char*>(VALMORIN_CLI)};
            for (std::string& arg : args) argv.push_back(arg.data());
            argv.push_back(nullptr);
            return execv(VALMORIN_CLI, argv.data());
        };
    };
    EXPECT_EQ(RunAsUser(command({"Attach", "x"})), 0);
    const std::string noStore = valmorin::text::Utf16ToUtf8(SqliteConnectionString(m_data.path() / "none.db"));
    EXPECT_NE(RunAsUser(command({"--connection", noStore, "translate", "T", "a"})), 0);

    std::map<std::string, int> counts;
    for (const Event& event : Events(LogFile())) {
        EXPECT_EQ(event.user, m_userName);
        ++counts[event.message == kFileLine ? "header" : event.level];
    }
    EXPECT_EQ(counts["header"], 2);
    EXPECT_GT(counts["ERROR"], 0);
}

} // namespace
