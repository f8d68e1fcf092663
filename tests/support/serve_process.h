// A `valmorin serve` of the test's own, on a port the kernel picks: started
// with the arguments given, its access log gathered, stopped by SIGTERM.
#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

class ServeProcess {
public:
    // Throws std::runtime_error when the server does not say it listens
    // within 20 s; its output then is in the message.
    // launcher: a command that runs the server (prlimit with its limits).
    ServeProcess(const std::vector<std::string>& args, const std::map<std::string, std::string>& environment = {},
                 const std::vector<std::string>& launcher = {});
    ~ServeProcess();
    ServeProcess(const ServeProcess&) = delete;
    ServeProcess& operator=(const ServeProcess&) = delete;

    int port() const { return m_port; }
    // The port of the inner address (--metrics-listen), as the server says
    // it at its start; 0, with a failure added, when it does not.
    int metricsPort() const;
    pid_t pid() const { return m_pid; }
    // What it wrote on standard error so far.
    std::string log() const;
    // Sends SIGTERM and waits; its exit status.
    int Stop();
    // Sends SIGTERM; whether it ended within the time given (killed if not).
    bool StopsWithin(std::chrono::seconds limit);
    // Stops reading its standard error (a pipe nobody empties), or reads on.
    void HoldLog(bool held);
    // Closes the pipe's reading end, as a reader that went away does; what
    // was read before stays in log().
    void CloseLog();

private:
    pid_t m_pid = -1;
    int m_stderr = -1;
    int m_port = 0;
    mutable std::mutex m_mutex;
    std::condition_variable m_released;
    bool m_held = false;
    std::string m_log;
    std::thread m_reader;
};

// Runs the server with these arguments to its end (a refusal at start);
// its exit status and what it said.
std::pair<int, std::string> ServeRefusal(const std::vector<std::string>& args);

// An account file as an administrator makes it with `htpasswd -B`, at the
// bcrypt cost given for each account, written at `file`; its path.
struct Account {
    std::string user, password;
    int cost = 4;
};
std::string WriteAccountFile(const std::string& file, const std::vector<Account>& accounts);
