// Reading a stranger's JSON text with nlohmann/json without handing them the
// stack: printing, comparing and copying a parsed value recurse once per
// level of nesting, so a text of a few hundred thousand opening brackets
// parses fine and then takes the process down. Nothing this system reads
// nests past a handful of levels.
#pragma once

#include <stdexcept>
#include <string>

namespace valmorin::text {

inline constexpr int kMaxJsonNesting = 64;

class JsonTooDeep : public std::runtime_error {
public:
    JsonTooDeep() : std::runtime_error("the text nests deeper than " + std::to_string(kMaxJsonNesting) + " levels") {}
};

// For a parser callback of J, one of nlohmann/json's value types: throws
// JsonTooDeep at an opening bracket past kMaxJsonNesting, before the value
// grows any deeper. The parser tells an opening bracket the depth of the
// values that enclose it: the level it opens is one more.
template <class J>
void RefuseNestingPast(int depth, typename J::parse_event_t event)
{
    const bool opens = event == J::parse_event_t::object_start || event == J::parse_event_t::array_start;
    if (opens && depth >= kMaxJsonNesting) throw JsonTooDeep();
}

// A syntax error throws as J::parse does; nesting past kMaxJsonNesting
// throws JsonTooDeep.
template <class J>
J ParseJsonNestedAtMost(const std::string& text)
{
    return J::parse(text, [](int depth, typename J::parse_event_t event, const J&) {
        RefuseNestingPast<J>(depth, event);
        return true;
    });
}

} // namespace valmorin::text
