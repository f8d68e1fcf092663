#include "server/console.h"
#include "server/refusal.h"

#include "console_files.h"

#include <string>
#include <string_view>

namespace {

// The Content-Type of a console file, by its name's ending.
std::string TypeOf(std::string_view path)
{
    if (path.ends_with(".html")) return "text/html; charset=utf-8";
    if (path.ends_with(".css")) return "text/css; charset=utf-8";
    if (path.ends_with(".js")) return "text/javascript; charset=utf-8";
    if (path.ends_with(".svg")) return "image/svg+xml"; // the icon
    return "text/plain; charset=utf-8"; // the vendored libraries' licences
}

} // namespace

void AnswerConsole(const httplib::Request& request, httplib::Response& response)
{
    const std::string_view path =
        request.path == "/" ? std::string_view("index.html") : std::string_view(request.path).substr(1);
    for (const auto& [name, content] : kConsoleFiles) {
        if (name != path) continue;
        if (request.method != "GET") {
            response.set_header("Allow", "GET, HEAD");
            return AnswerError(response, 405, HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED), "the console's pages take GET");
        }
        return response.set_content(content.data(), content.size(), TypeOf(name));
    }
    AnswerError(response, 404, kNotFound, "no such page");
}
