#include "qmt/db/store_time.h"

#include <ctime>

namespace qmt {

std::optional<std::u16string> StoreTime(std::u16string_view text)
{
    std::string narrow;
    for (const char16_t c : text) {
        if (c > 0x7E) return std::nullopt;
        narrow += static_cast<char>(c);
    }
    std::tm fields{};
    const char* rest = strptime(narrow.c_str(), "%Y-%m-%dT%H:%M:%S", &fields);
    if (rest == nullptr || narrow.size() < 19 || rest != narrow.c_str() + 19) return std::nullopt;
    std::tm normalised = fields;
    const std::time_t seconds = timegm(&normalised);
    if (seconds == -1 || normalised.tm_mday != fields.tm_mday || normalised.tm_hour != fields.tm_hour)
        return std::nullopt;
    std::string milliseconds = "000";
    if (*rest == '.') {
        std::size_t digits = 0;
        for (++rest; *rest >= '0' && *rest <= '9'; ++rest, ++digits)
            if (digits < 3) milliseconds[digits] = *rest;
        if (digits == 0) return std::nullopt;
    }
    if (std::string_view(rest) != "Z" && std::string_view(rest) != "+00:00") return std::nullopt;
    const std::string stored = narrow.substr(0, 19) + "." + milliseconds + "Z";
    return std::u16string(stored.begin(), stored.end());
}

} // namespace qmt
