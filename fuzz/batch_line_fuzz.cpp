// valmorin --batch lines: a line that decodes is a call whose fields,
// escaped again, give back the line exactly: nothing of an argument is
// lost or changed on the way to the component.
#include "batch_line.h"
#include "fuzz_check.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace {

std::string Encoded(const BatchLineDecoder& call)
{
    std::string line = EscapeField(call.method());
    for (const CallArgument& argument : call.arguments()) line += "\t" + (argument ? EscapeField(*argument) : "--null");
    return line;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    const auto refusal = [line](BatchLineDecoder& decoder) -> std::optional<std::string> {
        try {
            decoder.Decode(line);
            return std::nullopt;
        } catch (const UsageError& e) {
            return e.message;
        }
    };
    static BatchLineDecoder call; // reused, as the command reuses it line after line
    BatchLineDecoder fresh;
    const std::optional<std::string> refused = refusal(call);
    // The decoder kept from line to line reads what a new one reads.
    FUZZ_CHECK(refused == refusal(fresh));
    if (refused) {
        FUZZ_CHECK(!refused->empty());
        return 0;
    }
    FUZZ_CHECK(fresh.method() == call.method());
    FUZZ_CHECK(std::equal(fresh.arguments().begin(), fresh.arguments().end(), call.arguments().begin(),
                          call.arguments().end()));
    for (const CallArgument& argument : call.arguments())
        if (argument) FUZZ_CHECK(argument->find(u'\0') == std::u16string::npos);
    // A raw line feed cannot reach the decoder (it ends the line); a raw
    // carriage return inside a field is taken as it stands. Both are
    // written back escaped.
    if (line.find_first_of("\n\r") == std::string_view::npos) FUZZ_CHECK(Encoded(call) == line);
    return 0;
}
