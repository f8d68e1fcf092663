// The log writers: an interface, a builder that owns the open log stream, and
// the emulation of log4net's XML layout that the log file is made of.
#pragma once

#include "platform/posix/unique_fd.h"
#include "qmt/diag/trace.h"

#include <optional>
#include <string>
#include <string_view>

namespace qmt {

class ILogger {
public:
    virtual void Write(std::u16string_view message, LogLevel level) = 0;
    virtual void Info(std::u16string_view message) = 0;
    virtual void Debug(std::u16string_view message) = 0;
    virtual void Warning(std::u16string_view message) = 0;
    virtual void Error(std::u16string_view message) = 0;
    // Opens the file for appending; true when it is open.
    virtual bool Open(const std::u16string& path) = 0;
    virtual void Close() = 0;
    virtual void WriteFooter() = 0;
    virtual void WriteHeader() = 0;
    virtual ~ILogger() = default;
};

// Writes nothing itself; owns the stream its derived layouts write into.
class LogBuilder : public ILogger {
public:
    LogBuilder() = default;
    LogBuilder(const LogBuilder&) = delete;
    LogBuilder& operator=(const LogBuilder&) = delete;

    void Write(std::u16string_view message, LogLevel level) override;
    void Info(std::u16string_view message) override;
    void Debug(std::u16string_view message) override;
    void Warning(std::u16string_view message) override;
    void Error(std::u16string_view message) override;
    // Closes any open file first. The file is UTF-8; one that is new (or
    // empty) starts with the byte-order mark. Writes the header on success.
    // The log may hold a connection string with its password: a new file is
    // its owner's only (0600) whatever the umask, and only a regular file
    // is appended to; a link, FIFO or device in its place is refused.
    bool Open(const std::u16string& path) override;
    // Writes the footer and closes the file, when one is open.
    void Close() override;
    void WriteFooter() override;
    void WriteHeader() override;
    ~LogBuilder() override;

protected:
    bool IsOpen() const { return m_file.has_value(); }
    // Appends the text in UTF-8 with each line feed as CR LF, the line ends
    // of the log file whoever reads it.
    void WriteText(std::u16string_view text);

private:
    std::optional<UniqueFd> m_file;
};

// Makes one level of the log's folder when it is missing, with the mode
// given whatever the umask (0700 for a user's log, which may hold
// passwords; 0755 for the system's folder). An existing folder is left as
// its administrator made it.
void MakeLogFolder(const std::u16string& folder, unsigned mode);

// The identity texts every event carries.
struct LogIdentity {
    std::u16string userName;
    std::u16string computerName;
    // The full path of the process's main executable.
    std::u16string modulePath;

    static LogIdentity OfProcess();
};

// Writes each record as one log4net:event element of six lines. Only the
// message is escaped for XML; the identity texts are written as they are.
class Log4NetEmulator : public LogBuilder {
public:
    explicit Log4NetEmulator(std::u16string_view loggerName);
    // Each text is cut to the size the logger keeps of it.
    Log4NetEmulator(std::u16string_view loggerName, const LogIdentity& identity);

    // Nothing when no file is open. Throws CComException(E_OUTOFMEMORY) when
    // the event's text cannot be built.
    void Write(std::u16string_view message, LogLevel level) override;

private:
    std::u16string EventText(std::u16string_view message, LogLevel level) const;

    std::u16string m_loggerName;
    std::u16string m_userName;
    std::u16string m_computerName;
    std::u16string m_modulePath;
};

} // namespace qmt
