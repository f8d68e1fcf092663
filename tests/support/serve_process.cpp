#include "support/serve_process.h"

#include "support/process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <regex>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

ServeProcess::ServeProcess(const std::vector<std::string>& args, const std::map<std::string, std::string>& environment,
                           const std::vector<std::string>& launcher)
{
    int pipe[2];
    if (pipe2(pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    std::vector<std::string> argv = launcher;
    argv.insert(argv.end(), {VALMORIN_CLI, "serve", "--listen", "127.0.0.1:0"});
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> arguments;
    for (std::string& arg : argv) arguments.push_back(arg.data());
    arguments.push_back(nullptr);
    std::vector<std::string> variables;
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        if (!environment.count(text.substr(0, text.find('=')))) variables.push_back(text);
    }
    for (const auto& [key, value] : environment) variables.push_back(key + "=" + value);
    std::vector<char*> envp;
    for (std::string& variable : variables) envp.push_back(variable.data());
    envp.push_back(nullptr);
    // Forked by hand rather than spawned, so the server dies with a test
    // that crashes instead of staying on as an orphan.
    m_pid = ::fork();
    if (m_pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        // As a shell starts it, whatever this test program ignores.
        ::signal(SIGPIPE, SIG_DFL);
        const int input = ::open("/dev/null", O_RDONLY);
        if (input < 0 || ::dup2(input, 0) < 0 || ::dup2(pipe[1], 2) < 0) ::_exit(127);
        ::execve(arguments[0], arguments.data(), envp.data());
        ::_exit(127);
    }
    ::close(pipe[1]);
    m_stderr = pipe[0];
    if (m_pid < 0) throw std::runtime_error("cannot start valmorin serve");
    m_reader = std::thread([this] {
        char buffer[4096];
        for (;;) {
            int from = -1;
            {
                std::unique_lock lock(m_mutex);
                m_released.wait(lock, [this] { return !m_held; });
                from = m_stderr;
            }
            const ssize_t n = ::read(from, buffer, sizeof buffer);
            if (n <= 0) break;
            const std::lock_guard lock(m_mutex);
            m_log.append(buffer, static_cast<std::size_t>(n));
        }
    });
    const std::regex listening(R"(listening on https?://(?:\[[^\]]*\]|[^:]+):([0-9]+))");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        std::smatch found;
        const std::string text = log();
        if (std::regex_search(text, found, listening)) {
            m_port = std::stoi(found[1]);
            return;
        }
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const std::string said = log();
    Stop();
    throw std::runtime_error("valmorin serve did not start: " + said);
}

ServeProcess::~ServeProcess() { Stop(); }

int ServeProcess::metricsPort() const
{
    const std::regex said(R"(metrics on http://(?:\[[^\]]*\]|[^:]+):(\d+)/metrics)");
    for (const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
         std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
        std::smatch match;
        const std::string written = log();
        if (std::regex_search(written, match, said)) return std::stoi(match[1]);
    }
    ADD_FAILURE() << "the server did not say where it serves its metrics:\n" << log();
    return 0;
}

std::string ServeProcess::log() const
{
    const std::lock_guard lock(m_mutex);
    return m_log;
}

void ServeProcess::HoldLog(bool held)
{
    {
        const std::lock_guard lock(m_mutex);
        m_held = held;
    }
    m_released.notify_all();
}

void ServeProcess::CloseLog()
{
    HoldLog(true);
    // A read under way keeps the pipe open until the server writes once more.
    const std::lock_guard lock(m_mutex);
    ::close(m_stderr);
    m_stderr = -1;
}

bool ServeProcess::StopsWithin(std::chrono::seconds limit)
{
    if (m_pid <= 0) return true;
    ::kill(m_pid, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (::waitpid(m_pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(m_pid, SIGKILL);
            Stop();
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    m_pid = -1;
    Stop();
    return true;
}

int ServeProcess::Stop()
{
    HoldLog(false);
    int status = -1;
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, &status, 0);
        m_pid = -1;
    }
    if (m_reader.joinable()) m_reader.join();
    if (m_stderr >= 0) ::close(m_stderr);
    m_stderr = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::pair<int, std::string> ServeRefusal(const std::vector<std::string>& args)
{
    std::vector<std::string> argv = {VALMORIN_CLI, "serve"};
    argv.insert(argv.end(), args.begin(), args.end());
    const ProcessResult result = RunProcess(argv);
    return {result.exitCode, result.err};
}

std::string WriteAccountFile(const std::string& file, const std::vector<Account>& accounts)
{
    std::ofstream out(file);
    for (const Account& account : accounts) {
        const ProcessResult made =
            RunProcess({"/usr/bin/htpasswd", "-nbBC", std::to_string(account.cost), account.user, account.password});
        if (made.exitCode != 0) throw std::runtime_error("htpasswd: " + made.err);
        out << made.out.substr(0, made.out.find('\n')) << "\n";
    }
    return file;
}
