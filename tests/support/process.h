// Runs a program as a real process and collects what it wrote.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

struct ProcessResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// environment entries are added to (or replace) the test's own environment.
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& input = "",
                         const std::map<std::string, std::string>& environment = {});

// A process whose standard input stays open while the test talks to it,
// line by line; its standard error is dropped. The destructor closes its
// input and waits for it.
class Conversation {
public:
    explicit Conversation(const std::vector<std::string>& argv,
                          const std::map<std::string, std::string>& environment = {});
    ~Conversation();
    Conversation(const Conversation&) = delete;
    Conversation& operator=(const Conversation&) = delete;

    void Send(const std::string& text);
    // The next line of its standard output, without the line feed; nothing
    // when no whole line came within the wait.
    std::optional<std::string> ReadLine(std::chrono::milliseconds wait);
    // Closes its input and returns its exit code.
    int Finish();

private:
    struct Pipes;
    std::unique_ptr<Pipes> m_pipes;
    pid_t m_pid = 0;
    std::string m_unread;
};
