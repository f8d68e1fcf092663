#include "support/private_postgres.h"

#include "platform/ado/connection_string.h"
#include "platform/text/utf.h"
#include "qmt/db/store_admin.h"
#include "support/process.h"

#include <filesystem>
#include <csignal>
#include <fstream>
#include <stdexcept>

#include <pwd.h>
#include <unistd.h>

namespace {

constexpr const char* kPort = "5432";

std::string ServerBin()
{
    std::string found;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/postgresql", ec))
        if (std::filesystem::exists(entry.path() / "bin" / "initdb")) found = (entry.path() / "bin").string();
    return found;
}

// The account the server runs as, and the prefix that runs a program as it.
std::string ServerAccount()
{
    if (::geteuid() != 0) return ::getpwuid(::geteuid())->pw_name;
    return ::getpwnam("postgres") ? "postgres" : "nobody";
}

std::vector<std::string> AsServer(const std::string& account, std::vector<std::string> argv)
{
    if (::geteuid() != 0) return argv;
    argv.insert(argv.begin(), {"/usr/sbin/runuser", "-u", account, "--"});
    return argv;
}

void Check(const ProcessResult& result, const std::string& what)
{
    if (result.exitCode != 0) throw std::runtime_error(what + " failed: " + result.out + result.err);
}

} // namespace

std::string PrivatePostgres::Unavailable()
{
    return ServerBin().empty() ? "no PostgreSQL server programs under /usr/lib/postgresql" : std::string();
}

PrivatePostgres::PrivatePostgres(const std::string& sql) : m_account(ServerAccount())
{
    const std::filesystem::path folder = m_dir / "pg";
    std::filesystem::create_directory(folder);
    m_folder = folder.string();
    if (::geteuid() == 0) {
        const passwd* owner = ::getpwnam(m_account.c_str());
        if (!owner || ::chown(m_folder.c_str(), owner->pw_uid, owner->pw_gid) != 0)
            throw std::runtime_error("cannot give " + m_folder + " to " + m_account);
        std::filesystem::permissions(m_dir.path(), std::filesystem::perms::owner_all |
                                                       std::filesystem::perms::others_exec |
                                                       std::filesystem::perms::group_exec);
    }
    const std::string bin = ServerBin();
    Check(RunProcess(AsServer(m_account, {bin + "/initdb", "-D", m_folder + "/data", "-U", m_account, "-A", "trust",
                                          "-E", "UTF8", "--locale=C.UTF-8"})),
          "initdb");
    Control("start");
    qmt::CreateStore(valmorin::text::Widen(connectionString()));
    if (!sql.empty()) Run(sql);
}

PrivatePostgres::~PrivatePostgres()
{
    RunProcess(AsServer(m_account, {ServerBin() + "/pg_ctl", "-D", m_folder + "/data", "-m", "immediate", "stop"}));
}

void PrivatePostgres::Control(const std::string& action) const
{
    Check(RunProcess(AsServer(m_account,
                              {ServerBin() + "/pg_ctl", "-D", m_folder + "/data", "-l", m_folder + "/server.log", "-w",
                               "-t", "60", "-m", "fast", "-o",
                               "-c listen_addresses='' -k " + m_folder + " -p " + kPort + " -c fsync=off", action})),
          "pg_ctl " + action);
}

void PrivatePostgres::Restart() const { Control("restart"); }

void PrivatePostgres::Stop() const { Control("stop"); }

void PrivatePostgres::Start() const { Control("start"); }

void PrivatePostgres::Pause(bool paused) const
{
    std::ifstream pidFile(m_folder + "/data/postmaster.pid");
    pid_t postmaster = 0;
    if (!(pidFile >> postmaster) || postmaster <= 0)
        throw std::runtime_error("the server's postmaster.pid is unreadable");
    const int signal = paused ? SIGSTOP : SIGCONT;
    // Its children first: a stopped postmaster would not notice them stop.
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::ifstream status(entry.path() / "status");
        for (std::string line; std::getline(status, line);)
            if (line.starts_with("PPid:") && std::stoi(line.substr(5)) == postmaster)
                ::kill(std::stoi(entry.path().filename().string()), signal);
    }
    ::kill(postmaster, signal);
}

void PrivatePostgres::Run(const std::string& sql) const
{
    Check(RunProcess({ServerBin() + "/psql", "-h", m_folder, "-p", kPort, "-U", m_account, "-d", "store", "-v",
                      "ON_ERROR_STOP=1", "-q", "-c", sql}),
          "psql");
}

std::string PrivatePostgres::connectionString() const
{
    return valmorin::text::Utf16ToUtf8(valmorin::ado::ConnectionString()
                                           .With(u"Provider", u"PostgreSQL")
                                           .With(u"Host", valmorin::text::Widen(m_folder))
                                           .With(u"Port", valmorin::text::Widen(kPort))
                                           .With(u"Database", u"store")
                                           .With(u"User ID", valmorin::text::Widen(m_account))
                                           .Text());
}
