// The server's messages and access log, on standard error.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

// Queues whole lines, which a thread of their own writes out: a reader
// that stops reading (a pipe nobody empties, a paused terminal) holds up
// that thread only, never a connection, a worker or the stop. Past 1 MiB
// waiting, lines are dropped, and how many is said once writing goes on.
void WriteLog(std::string lines);

// Waits, at most for the time given, until every line queued is written;
// false when some still wait.
bool DrainLog(std::chrono::milliseconds within);

// A text for the log: control, non-ASCII and backslash bytes escaped, so
// that a client's bytes cannot forge log lines, and cut at 256 bytes, so
// that a client cannot fill the log with one request.
std::string Printable(const std::string& text);
// The same, appended to a line being made.
void AppendPrintable(std::string& out, std::string_view text);
