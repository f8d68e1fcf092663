#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <stdexcept>
#include <utility>

extern char** environ;

namespace {

struct Pipe {
    int fd[2] = {-1, -1};
    Pipe()
    {
        // close-on-exec: children started by other threads at the same time
        // must not inherit this pipe, or its reader never sees the end
        if (pipe2(fd, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    }
    ~Pipe()
    {
        CloseEnd(0);
        CloseEnd(1);
    }
    void CloseEnd(int end)
    {
        if (fd[end] >= 0) close(fd[end]);
        fd[end] = -1;
    }
};

std::vector<std::string> MergedEnvironment(const std::map<std::string, std::string>& extra)
{
    std::vector<std::string> merged;
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        if (!extra.count(text.substr(0, text.find('=')))) merged.push_back(text);
    }
    for (const auto& [key, value] : extra) merged.push_back(key + "=" + value);
    return merged;
}

std::vector<char*> Pointers(std::vector<std::string>& texts)
{
    std::vector<char*> pointers;
    for (auto& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

// Feeds the input and drains both outputs together, so that no pipe fills up.
void Exchange(Pipe& in, Pipe& out, Pipe& err, const std::string& input, ProcessResult& result)
{
    std::size_t written = 0;
    if (input.empty()) in.CloseEnd(1);
    char buffer[4096];
    while (out.fd[0] >= 0 || err.fd[0] >= 0) {
        pollfd fds[3] = {{out.fd[0], POLLIN, 0}, {err.fd[0], POLLIN, 0}, {in.fd[1], POLLOUT, 0}};
        if (poll(fds, 3, -1) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
            Pipe& source = i == 0 ? out : err;
            const ssize_t n = read(source.fd[0], buffer, sizeof buffer);
            if (n <= 0) source.CloseEnd(0);
            else (i == 0 ? result.out : result.err).append(buffer, static_cast<std::size_t>(n));
        }
        if (in.fd[1] >= 0 && (fds[2].revents & (POLLOUT | POLLERR))) {
            const ssize_t n = write(in.fd[1], input.data() + written, input.size() - written);
            if (n > 0) written += static_cast<std::size_t>(n);
            if (n <= 0 || written == input.size()) in.CloseEnd(1);
        }
    }
}

} // namespace

namespace {

// Starts argv with its standard input and output on the pipes' far ends,
// and standard error on err's, or on /dev/null without err.
pid_t Spawn(const std::vector<std::string>& argv, const std::map<std::string, std::string>& environment, Pipe& in,
            Pipe& out, Pipe* err)
{
    signal(SIGPIPE, SIG_IGN); // a child that stops reading early must not end the test
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in.fd[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out.fd[1], 1);
    if (err)
        posix_spawn_file_actions_adddup2(&actions, err->fd[1], 2);
    else
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> args = argv;
    std::vector<std::string> env = MergedEnvironment(environment);
    std::vector<char*> argPointers = Pointers(args), envPointers = Pointers(env);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, argPointers[0], &actions, nullptr, argPointers.data(), envPointers.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + argv[0]);
    in.CloseEnd(0);
    out.CloseEnd(1);
    if (err) err->CloseEnd(1);
    return pid;
}

int ExitCodeOf(pid_t pid)
{
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& input,
                         const std::map<std::string, std::string>& environment)
{
    Pipe in, out, err;
    const pid_t pid = Spawn(argv, environment, in, out, &err);
    ProcessResult result;
    Exchange(in, out, err, input, result);
    result.exitCode = ExitCodeOf(pid);
    return result;
}

struct Conversation::Pipes {
    Pipe in, out;
};

Conversation::Conversation(const std::vector<std::string>& argv, const std::map<std::string, std::string>& environment)
    : m_pipes(std::make_unique<Pipes>()), m_pid(Spawn(argv, environment, m_pipes->in, m_pipes->out, nullptr))
{
}

Conversation::~Conversation()
{
    if (m_pid > 0) Finish();
}

void Conversation::Send(const std::string& text)
{
    for (std::size_t written = 0; written < text.size();) {
        const ssize_t n = write(m_pipes->in.fd[1], text.data() + written, text.size() - written);
        if (n <= 0) throw std::runtime_error("the process no longer reads its input");
        written += static_cast<std::size_t>(n);
    }
}

std::optional<std::string> Conversation::ReadLine(std::chrono::milliseconds wait)
{
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (std::size_t end; (end = m_unread.find('\n')) == std::string::npos;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd entry{m_pipes->out.fd[0], POLLIN, 0};
        if (left.count() <= 0 || poll(&entry, 1, static_cast<int>(left.count())) <= 0) return std::nullopt;
        char buffer[4096];
        const ssize_t n = read(m_pipes->out.fd[0], buffer, sizeof buffer);
        if (n <= 0) return std::nullopt;
        m_unread.append(buffer, static_cast<std::size_t>(n));
    }
    const std::size_t end = m_unread.find('\n');
    std::string line = m_unread.substr(0, end);
    m_unread.erase(0, end + 1);
    return line;
}

int Conversation::Finish()
{
    m_pipes->in.CloseEnd(1);
    m_pipes->out.CloseEnd(0);
    return ExitCodeOf(std::exchange(m_pid, 0));
}
