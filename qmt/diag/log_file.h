// The log file: where it lies, and how one record gets into it while other
// threads and processes write to the same file. The file is never held open
// between records, so that every writer can append and rotate in turn.
#pragma once

#include "qmt/diag/trace.h"

#include <string>
#include <string_view>

namespace qmt {

class ILogger;

// The size a log file may reach before it is rotated, when none is set.
inline constexpr DWORD kDefaultLogFileLimit = 0x80000;

// <user's data folder>/Pelkor/QMS/<fileName>; for the system account
// /var/log/Pelkor/QMS/<fileName>. Creates the Pelkor and QMS folders when
// missing. Throws what the user or the data folder lookup throws.
std::u16string LogFilePath(std::u16string_view fileName);

// What follows the last separator of the path: the file's own name.
std::u16string_view LastComponent(std::u16string_view path);

// Appends one event to the file at path, holding the lock that every
// process writing a file of that name on this computer takes (waiting for
// it up to a minute), and rotates the file once it has reached limit
// bytes. The event is dropped when the lock or the file cannot be had; what
// the logger's Write throws comes out, and the size is then not checked.
void AppendLogRecord(ILogger& logger, std::u16string_view computerName, const std::u16string& path, DWORD limit,
                     std::u16string_view message, LogLevel level);

} // namespace qmt
