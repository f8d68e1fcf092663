// The log file against planted links, FIFOs and a careless umask, and the
// header of a new log without the records of reading the module's version.
#include "platform/text/utf.h"
#include "platform/win32/sysinfo.h"
#include "qmt/diag/log_file.h"
#include "qmt/diag/logger.h"
#include "qmt/diag/trace.h"
#include "support/component_library.h"
#include "support/environment.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <sstream>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string FileText(const std::filesystem::path& file)
{
    std::ostringstream bytes;
    bytes << std::ifstream(file, std::ios::binary).rdbuf();
    return bytes.str();
}

mode_t ModeOf(const std::filesystem::path& file)
{
    struct stat status {};
    EXPECT_EQ(::stat(file.c_str(), &status), 0) << file;
    return status.st_mode & 07777;
}

// An owned descriptor for the test's own ends of FIFOs.
struct OpenEnd {
    explicit OpenEnd(int fd) : fd(fd) {}
    ~OpenEnd()
    {
        if (fd >= 0) ::close(fd);
    }
    OpenEnd(const OpenEnd&) = delete;
    OpenEnd& operator=(const OpenEnd&) = delete;
    int fd;
};

// Set-up as the superuser plays the system account and logs under
// /var/log: what runs set-up runs in a forked child as an ordinary account
// ("nobody" under root), with the data folder in the test's folder. The
// exit code is the body's; 98 when the account could not be taken on.
int RunAsOrdinaryAccount(const std::filesystem::path& home, const std::function<int()>& body)
{
    const passwd* account = ::geteuid() == 0 ? ::getpwnam("nobody") : ::getpwuid(::geteuid());
    if (account == nullptr) return 97;
    if (::chown(home.c_str(), account->pw_uid, account->pw_gid) != 0) return 96;
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::geteuid() != account->pw_uid &&
            (::setgroups(0, nullptr) != 0 || ::setgid(account->pw_gid) != 0 || ::setuid(account->pw_uid) != 0))
            _exit(98);
        ::setenv("XDG_DATA_HOME", home.c_str(), 1);
        ::setenv("HOME", home.c_str(), 1);
        ::setenv("PELKOR_REGISTRY_DIR", home.c_str(), 1);
        _exit(body());
    }
    int status = 0;
    return ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class LogHardeningTest : public ::testing::Test {
protected:
    std::filesystem::path Log() const { return m_folder / "Valmorin.log"; }
    bool Append(const std::string& message)
    {
        if (!m_logger.Open(valmorin::text::Widen(Log().string()))) return false;
        m_logger.Info(valmorin::text::Widen(message));
        m_logger.Close();
        return true;
    }

    TempDir m_folder;
    qmt::Log4NetEmulator m_logger{u"qmlib.Tracer", qmt::LogIdentity{u"user", u"PC", u"/opt/valmorin"}};
};

struct NotALogFile {
    const char* label;
    std::function<void(const std::filesystem::path& log, const std::filesystem::path& victim)> plant;
};

// Faults caught: the log appended through a link to another file (or a
// device), a FIFO opened and waited on or written into, a folder taken.
TEST_F(LogHardeningTest, OnlyARegularFileIsAppendedTo)
{
    const std::filesystem::path victim = m_folder / "victim";
    std::unique_ptr<OpenEnd> reader;
    const std::vector<NotALogFile> rows = {
        {"link to a file", [](const auto& log, const auto& target) { std::filesystem::create_symlink(target, log); }},
        {"dangling link",
         [](const auto& log, const auto& target) { std::filesystem::create_symlink(target.string() + ".new", log); }},
        // A device of the test's own (a FIFO without root), never the machine's.
        {"link to a device",
         [](const auto& log, const auto& target) {
             const std::filesystem::path device = target.string() + ".device";
             std::filesystem::remove(device);
             if (::geteuid() == 0)
                 ASSERT_EQ(::mknod(device.c_str(), S_IFCHR | 0600, ::makedev(1, 3)), 0);
             else
                 ASSERT_EQ(::mkfifo(device.c_str(), 0600), 0);
             std::filesystem::create_symlink(device, log);
         }},
        {"FIFO without a reader", [](const auto& log, const auto&) { ASSERT_EQ(::mkfifo(log.c_str(), 0600), 0); }},
        {"FIFO with a reader",
         [&reader](const auto& log, const auto&) {
             ASSERT_EQ(::mkfifo(log.c_str(), 0600), 0);
             reader = std::make_unique<OpenEnd>(::open(log.c_str(), O_RDONLY | O_NONBLOCK));
         }},
        {"folder", [](const auto& log, const auto&) { std::filesystem::create_directory(log); }},
    };
    for (const NotALogFile& row : rows) {
        std::filesystem::remove_all(Log());
        std::filesystem::remove(victim.string() + ".new");
        std::ofstream(victim, std::ios::trunc) << "kept\n";
        row.plant(Log(), victim);
        EXPECT_FALSE(Append("connection string with a password")) << row.label;
        EXPECT_EQ(FileText(victim), "kept\n") << row.label;
        EXPECT_FALSE(std::filesystem::exists(victim.string() + ".new")) << row.label;
        if (reader) {
            char byte = 0;
            EXPECT_LE(::read(reader->fd, &byte, 1), 0) << row.label;
            reader.reset();
        }
    }
}

// Faults caught: a new log made with the umask's leave (0666 under umask
// 0), and an administrator's mode on an existing log changed.
TEST_F(LogHardeningTest, ANewLogIsItsOwnersOnlyWhateverTheUmask)
{
    for (const mode_t mask : {mode_t{0}, mode_t{022}, mode_t{077}}) {
        std::filesystem::remove(Log());
        const ScopedUmask umask(mask);
        ASSERT_TRUE(Append("first"));
        EXPECT_EQ(ModeOf(Log()), 0600u) << "umask " << std::oct << mask;
    }
    ASSERT_EQ(::chmod(Log().c_str(), 0640), 0);
    ASSERT_TRUE(Append("second"));
    EXPECT_EQ(ModeOf(Log()), 0640u);
    EXPECT_NE(FileText(Log()).find("second"), std::string::npos);
}

// Fault caught: the log's folders made with the umask's leave, open to
// every account under umask 0.
TEST_F(LogHardeningTest, TheLogFoldersAreTheUsersOnlyWhateverTheUmask)
{
    const std::filesystem::path home = m_folder.path();
    ASSERT_EQ(RunAsOrdinaryAccount(home,
                                   [] {
                                       ::umask(0);
                                       return qmt::LogFilePath(u"Valmorin.log").empty() ? 1 : 0;
                                   }),
              0);
    for (const char* level : {"Pelkor", "Pelkor/QMS"}) EXPECT_EQ(ModeOf(home / level), 0700u) << level;
}

// Fault caught: reading the module's version writes "open file" and
// "close file" records ahead of the header's "File:" line.
TEST_F(LogHardeningTest, TheHeaderIsNotPrecededByTheVersionLookup)
{
    const std::filesystem::path home = m_folder.path();
    ASSERT_EQ(RunAsOrdinaryAccount(home,
                                   [] {
                                       qmt::Tracer::Current().Setup(u"Valmorin.log", ComponentModule(), 524288);
                                       return 0;
                                   }),
              0);
    const std::string log = FileText(home / "Pelkor" / "QMS" / "Valmorin.log");
    const std::size_t fileLine = log.find("<log4net:message>File: ");
    ASSERT_NE(fileLine, std::string::npos) << log;
    for (const char* record : {"open file:", "close file:"}) EXPECT_EQ(log.find(record), std::string::npos) << record;
}

} // namespace
