#include "batch_stream.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

#include <poll.h>
#include <unistd.h>

namespace {

constexpr std::size_t kBlock = 64 * 1024;

} // namespace

void BatchOutput::Flush()
{
    if (m_text.empty()) return;
    m_out.write(m_text.data(), static_cast<std::streamsize>(m_text.size()));
    m_out.flush();
    m_text.clear();
    // No call runs after its answers could not be written: whoever reads
    // them would not know which of its calls were made.
    if (!m_out)
        throw std::runtime_error(std::string("the answers could not be written to standard output: ") +
                                 std::strerror(errno) + "; no further call was made");
}

void BatchOutput::FlushWhenFull()
{
    if (m_text.size() >= kBlock) Flush();
}

bool BatchInput::Next(std::string_view& line, BatchOutput& output)
{
    for (;;) {
        const std::size_t end = m_buffer.find('\n', m_start);
        if (end != std::string::npos) {
            line = std::string_view(m_buffer).substr(m_start, end - m_start);
            m_start = end + 1;
            return true;
        }
        if (m_ended) {
            // The last line may lack its line feed.
            line = std::string_view(m_buffer).substr(m_start);
            m_start = m_buffer.size();
            return !line.empty();
        }
        if (!output.empty() && !Ready()) output.Flush();
        Fill();
    }
}

bool BatchInput::Ready() const
{
    pollfd entry{.fd = m_fd, .events = POLLIN, .revents = 0};
    return ::poll(&entry, 1, 0) > 0;
}

void BatchInput::Fill()
{
    m_buffer.erase(0, m_start); // the start of a line that has not ended yet
    m_start = 0;
    const std::size_t kept = m_buffer.size();
    m_buffer.resize(kept + kBlock);
    ssize_t count = 0;
    do {
        count = ::read(m_fd, m_buffer.data() + kept, kBlock);
    } while (count < 0 && errno == EINTR);
    if (count < 0) throw std::runtime_error(std::string("cannot read the --batch lines from standard input: ") +
                                            std::strerror(errno));
    m_buffer.resize(kept + static_cast<std::size_t>(count));
    m_ended = count == 0;
}
