// The administration console's files (HTML, CSS, JavaScript modules and
// the libraries they vendor), compiled into the command.
#pragma once

#include <string_view>

struct ConsoleFile {
    std::string_view path; // as requested, "/app.js"
    std::string_view type; // its Content-Type
    std::string_view content;
};

// The file at a request's path ("/" is "/index.html"), or nullptr.
const ConsoleFile* FindConsoleFile(std::string_view path);
