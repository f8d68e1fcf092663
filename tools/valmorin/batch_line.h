// The text forms of the command's calls, shared by its argument list and
// its --batch lines, kept apart so that they can be tested and fuzzed on
// their own.
//
// A --batch line is a method name and its arguments separated by tabs;
// inside a field \t, \n, \r and \\ stand for a tab, a line feed, a
// carriage return and a backslash, and the field --null passes a NULL
// string. Answers are escaped the same way. A carriage return at the end of
// a line is its line break's (CRLF input); one inside a value is written \r.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// A mistake of the caller's, told back as a usage error.
struct UsageError {
    std::string message;
};

// A NULL BSTR where a text may stand.
using CallArgument = std::optional<std::u16string>;

// The UTF-16 of a UTF-8 text; a UsageError naming what it is otherwise.
std::u16string Wide(std::string_view text, const std::string& what);

// An argument as given: --null, or a text without NUL.
CallArgument ToArgument(std::string_view utf8, const std::string& what);

// Decodes --batch lines one after the other into the same buffers: once
// they have grown to the longest line, a line costs no allocation.
class BatchLineDecoder {
public:
    // One line without its line break; throws UsageError. What method() and
    // arguments() hold stays valid until the next line.
    void Decode(std::string_view line);
    const std::u16string& method() const { return m_method; }
    std::span<const CallArgument> arguments() const { return {m_arguments.data(), m_count}; }

private:
    void DecodeField(std::string_view field, std::u16string& out, std::size_t position);
    void DecodeArgument(std::string_view field, std::size_t position);

    std::string m_unescaped;
    std::u16string m_method;
    std::optional<std::string> m_methodField; // the bytes m_method was decoded from
    std::vector<CallArgument> m_arguments; // slots beyond m_count keep their buffers
    std::size_t m_count = 0;
};

// Appends a text to out as a field of a --batch answer.
void AppendEscapedField(std::string& out, std::u16string_view text);
// The same, as a text of its own.
std::string EscapeField(std::u16string_view text);
