// The server's standard error, written by one thread of its own.
#include "server/server_log.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string_view>
#include <thread>
#include <utility>

#include <poll.h>
#include <unistd.h>

namespace {

constexpr std::size_t kMostWaiting = 1 << 20;

class LogWriter {
public:
    LogWriter()
    {
        std::thread([this] { WriteForEver(); }).detach();
    }

    void Queue(std::string lines)
    {
        const std::lock_guard lock(m_mutex);
        if (m_waiting.size() + lines.size() > kMostWaiting) {
            m_dropped += static_cast<std::size_t>(std::count(lines.begin(), lines.end(), '\n'));
        } else {
            m_waiting += lines;
        }
        m_ready.notify_one();
    }

    bool Drain(std::chrono::milliseconds within)
    {
        std::unique_lock lock(m_mutex);
        return m_idle.wait_for(lock, within, [this] { return m_waiting.empty() && m_dropped == 0 && !m_writing; });
    }

private:
    void WriteForEver()
    {
        for (std::string lines;;) {
            std::size_t dropped = 0;
            {
                std::unique_lock lock(m_mutex);
                m_writing = false;
                m_idle.notify_all();
                m_ready.wait(lock, [this] { return !m_waiting.empty() || m_dropped > 0; });
                lines.swap(m_waiting);
                m_waiting.clear();
                dropped = std::exchange(m_dropped, 0);
                m_writing = true;
            }
            // The lines dropped came after the ones that were waiting.
            if (dropped > 0)
                lines += "valmorin serve: " + std::to_string(dropped) +
                         " line(s) of this log were dropped: standard error took no more\n";
            WriteAll(lines);
        }
    }

    // A standard error that fails (closed, a pipe's reader gone) takes
    // nothing more; the server goes on without it. One that is full (a
    // pipe in non-blocking mode, as some supervisors hand out) is waited
    // for, as a blocking one would be.
    static void WriteAll(const std::string& lines)
    {
        for (std::size_t written = 0; written < lines.size();) {
            const ssize_t n = ::write(STDERR_FILENO, lines.data() + written, lines.size() - written);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                pollfd room{STDERR_FILENO, POLLOUT, 0};
                if (::poll(&room, 1, -1) < 0 && errno != EINTR) return;
                continue;
            }
            if (n <= 0) return;
            written += static_cast<std::size_t>(n);
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_ready, m_idle;
    std::string m_waiting;
    std::size_t m_dropped = 0;
    bool m_writing = false;
};

// Never destroyed: its thread may be blocked writing when the process
// ends, and must find it there.
LogWriter& Writer()
{
    static LogWriter* const writer = new LogWriter;
    return *writer;
}

} // namespace

void WriteLog(std::string lines) { Writer().Queue(std::move(lines)); }

bool DrainLog(std::chrono::milliseconds within) { return Writer().Drain(within); }

void AppendPrintable(std::string& out, std::string_view text)
{
    constexpr std::size_t kLongest = 256;
    const std::string_view shown = text.substr(0, kLongest);
    auto plain = [](unsigned char c) { return c >= 0x20 && c < 0x7F && c != '\\'; };
    for (auto it = shown.begin(); it != shown.end();) {
        // A run of plain bytes is taken whole.
        const auto run = std::find_if_not(it, shown.end(), plain);
        out.append(it, run);
        if (run == shown.end()) break;
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(*run));
        out += escaped;
        it = run + 1;
    }
    if (text.size() > kLongest) out += "...";
}

std::string Printable(const std::string& text)
{
    std::string out;
    AppendPrintable(out, text);
    return out;
}
