// valmorin import and valmorin export: TableImport and TableExport called
// with the options people type, a progress bar for long imports on a
// terminal, and an export to standard output.
#pragma once

#include "dispatch_client.h"

#include <functional>
#include <string>
#include <vector>

// The method call a command line of import or export stands for.
struct TransferCall {
    std::u16string method;
    std::vector<Argument> arguments;
    std::string file;  // the CSV file; empty for an export to standard output
    std::string table; // for the progress bar
};

// The usage line of "import" or "export".
std::string TransferUsage(const std::string& command);

// Reads "import <table> <file.csv> [--replace] [--user <name>] [--inputs <n>]"
// or "export <table> [<file.csv>]"; throws UsageError.
TransferCall ReadTransferCall(const std::vector<std::string>& args);

// Runs call (which makes the method call and returns the exit status),
// showing on standard error, when it is a terminal, how far the import
// has read a file of more than a few megabytes.
int WithImportProgress(const TransferCall& transfer, const std::function<int()>& call);

// Runs the export into a file of a private temporary folder and copies it
// to out; the exit status is call's.
int ExportToStream(TransferCall transfer, std::ostream& out, const std::function<int(const TransferCall&)>& call);
