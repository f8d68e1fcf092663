// The input and output of --batch. Answers are gathered and written in
// blocks: a stream of lines costs one write per block, not one per line.
// They are written as well whenever the next line has not arrived yet, so
// that a caller who waits for an answer before sending its next line gets
// it at once.
#pragma once

#include <ostream>
#include <string>
#include <string_view>

class BatchOutput {
public:
    explicit BatchOutput(std::ostream& out) : m_out(out) {}
    // What is left is written by the caller's Flush; a destructor cannot
    // report that it failed.
    ~BatchOutput() = default;
    BatchOutput(const BatchOutput&) = delete;
    BatchOutput& operator=(const BatchOutput&) = delete;

    // Where answers are appended.
    std::string& text() { return m_text; }
    bool empty() const { return m_text.empty(); }
    // Throws when the answers cannot be written.
    void Flush();
    // Writes the answers once a block has gathered, so that a long input
    // needs no more memory than a block.
    void FlushWhenFull();

private:
    std::ostream& m_out;
    std::string m_text;
};

class BatchInput {
public:
    explicit BatchInput(int fd) : m_fd(fd) {}

    // The next line without its line feed, valid until the next call; false
    // at the end of the input. When the next line has not arrived, output is
    // flushed before the command waits for it.
    bool Next(std::string_view& line, BatchOutput& output);

private:
    bool Ready() const;
    void Fill();

    int m_fd;
    std::string m_buffer;
    std::size_t m_start = 0; // where the next line begins
    bool m_ended = false;
};
