#include "history_command.h"

#include "batch_line.h"
#include "store.h"

#include "qmt/db/history_prune.h"

#include <iostream>

namespace {

constexpr const char* kUsage =
    "usage: valmorin history prune --before <time> [--connection \"<ADO connection string>\"]\n"
    "  Drops the history older than <time>, an ISO 8601 UTC time such as 2026-01-31T12:00:00Z: the\n"
    "  history then starts at the last revision made at or before it. translateAsOf and History answer\n"
    "  as before for that revision and later ones, and refuse earlier points.";

[[noreturn]] void Usage(const std::string& why) { throw UsageError{why + "\n" + kUsage}; }

int PrintUsage()
{
    std::cout << kUsage << "\n";
    return 0;
}

} // namespace

int RunHistoryCommand(const std::vector<std::string>& args)
{
    if (!args.empty() && args[0] == "--help") return PrintUsage();
    if (args.empty() || args[0] != "prune") Usage("history takes the subcommand prune");
    if (args.size() > 1 && args[1] == "--help") return PrintUsage();
    std::u16string connection = DefaultStoreConnectionString(), before;
    for (std::size_t i = 1; i < args.size(); i += 2) {
        if (i + 1 == args.size()) Usage(args[i] + " needs a value");
        if (args[i] == "--before")
            before = Wide(args[i + 1], "the time");
        else if (args[i] == "--connection")
            connection = Wide(args[i + 1], "the connection string");
        else
            Usage("unknown option '" + args[i] + "'");
    }
    if (before.empty()) Usage("history prune needs --before <time>");
    const qmt::HistoryPruneOutcome outcome = qmt::PruneHistory(connection, before);
    (outcome.failed ? std::cerr : std::cout) << "valmorin: history prune: " << outcome.message << "\n";
    constexpr int kExitFailure = 2;
    return outcome.failed ? kExitFailure : 0;
}
