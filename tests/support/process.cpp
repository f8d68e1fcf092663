#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <stdexcept>

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

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& input,
                         const std::map<std::string, std::string>& environment)
{
    signal(SIGPIPE, SIG_IGN); // a child that stops reading early must not end the test
    Pipe in, out, err;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in.fd[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out.fd[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err.fd[1], 2);
    for (Pipe* p : {&in, &out, &err}) {
        posix_spawn_file_actions_addclose(&actions, p->fd[0]);
        posix_spawn_file_actions_addclose(&actions, p->fd[1]);
    }
    std::vector<std::string> args = argv;
    std::vector<std::string> env = MergedEnvironment(environment);
    std::vector<char*> argPointers = Pointers(args), envPointers = Pointers(env);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, argPointers[0], &actions, nullptr, argPointers.data(), envPointers.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + argv[0]);
    in.CloseEnd(0);
    out.CloseEnd(1);
    err.CloseEnd(1);

    ProcessResult result;
    Exchange(in, out, err, input, result);
    int status = 0;
    waitpid(pid, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}
