// The text forms of the command's calls, shared by its argument list and
// its --batch lines, kept apart so that they can be tested and fuzzed on
// their own.
//
// A --batch line is a method name and its arguments separated by tabs;
// inside a field \t, \n and \\ stand for a tab, a line feed and a
// backslash, and the field --null passes a NULL string. Answers are
// escaped the same way.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A mistake of the caller's, told back as a usage error.
struct UsageError {
    std::string message;
};

// A NULL BSTR where a text may stand.
using CallArgument = std::optional<std::u16string>;

struct BatchCall {
    std::u16string method;
    std::vector<CallArgument> arguments;
};

// The UTF-16 of a UTF-8 text; a UsageError naming what it is otherwise.
std::u16string Wide(std::string_view text, const std::string& what);

// An argument as given: --null, or a text without NUL.
CallArgument ToArgument(std::string_view utf8, const std::string& what);

// One --batch line, without its line break; throws UsageError.
BatchCall DecodeBatchLine(std::string_view line);

// A text as a field of a --batch line or answer.
std::string EscapeField(std::u16string_view text);
