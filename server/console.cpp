#include "server/console.h"
#include "server/refusal.h"

#include <string>
#include <string_view>

namespace {

struct ConsoleFile {
    std::string_view path; // as requested, "/app.js"
    std::string_view type; // its Content-Type
    std::string_view content;
};

// Generated at configure time from server/console/.
constexpr ConsoleFile kFiles[] = {
#include "console.inc"
};

const ConsoleFile* FindConsoleFile(std::string_view path)
{
    if (path == "/") path = "/index.html";
    for (const ConsoleFile& file : kFiles)
        if (file.path == path) return &file;
    return nullptr;
}

} // namespace

void AnswerConsole(const httplib::Request& request, httplib::Response& response)
{
    const ConsoleFile* file = FindConsoleFile(request.path);
    if (file == nullptr) return AnswerError(response, 404, kNotFound, "no such page");
    if (request.method != "GET")
        return AnswerError(response, 405, HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED), "the console's pages take GET");
    response.set_content(file->content.data(), file->content.size(), std::string(file->type));
}
