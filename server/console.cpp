#include "server/console.h"

namespace {

// Generated at configure time from server/console/.
constexpr ConsoleFile kFiles[] = {
#include "console.inc"
};

} // namespace

const ConsoleFile* FindConsoleFile(std::string_view path)
{
    if (path == "/") path = "/index.html";
    for (const ConsoleFile& file : kFiles)
        if (file.path == path) return &file;
    return nullptr;
}
