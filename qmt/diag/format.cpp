#include "qmt/diag/format.h"

#include <cstdint>

namespace qmt {

namespace {

struct Spec {
    bool leftAlign = false;
    bool zeroPad = false;
    std::size_t width = 0;
};

void Pad(std::u16string& out, std::u16string_view field, const Spec& spec, bool numeric)
{
    if (field.size() >= spec.width) {
        out += field;
        return;
    }
    const std::size_t fill = spec.width - field.size();
    if (spec.leftAlign) {
        out += field;
        out.append(fill, u' ');
    } else if (spec.zeroPad && numeric) {
        const bool negative = !field.empty() && field[0] == u'-';
        if (negative) out += u'-';
        out.append(fill, u'0');
        out.append(field.substr(negative ? 1 : 0));
    } else {
        out.append(fill, u' ');
        out += field;
    }
}

std::u16string Digits(std::uint64_t value, unsigned base, bool upper)
{
    const char16_t* digits = upper ? u"0123456789ABCDEF" : u"0123456789abcdef";
    std::u16string reversed;
    do {
        reversed.push_back(digits[value % base]);
        value /= base;
    } while (value != 0);
    return {reversed.rbegin(), reversed.rend()};
}

} // namespace

std::u16string FormatV(const char16_t* format, std::va_list args)
{
    std::u16string out;
    if (format == nullptr) return out;
    out.reserve(256);
    for (const char16_t* p = format; *p != u'\0'; ++p) {
        if (*p != u'%') {
            const char16_t* run = p;
            // Most units of a text lie above '%', and are passed with one
            // comparison, two at a time while they last.
            while (p[1] > u'%' && p[2] > u'%') p += 2;
            while (p[1] > u'%' || (p[1] != u'\0' && p[1] != u'%')) ++p;
            out.append(run, p + 1);
            continue;
        }
        ++p;
        Spec spec;
        for (;; ++p) {
            if (*p == u'-') spec.leftAlign = true;
            else if (*p == u'0') spec.zeroPad = true;
            else break;
        }
        while (*p >= u'0' && *p <= u'9') spec.width = spec.width * 10 + static_cast<std::size_t>(*p++ - u'0');
        while (*p == u'l' || *p == u'h') ++p;
        switch (*p) {
        case u'%': out += u'%'; break;
        case u's': {
            const auto* text = va_arg(args, const char16_t*);
            Pad(out, text ? std::u16string_view(text) : std::u16string_view(u"(null)"), spec, false);
            break;
        }
        case u'c': Pad(out, std::u16string(1, static_cast<char16_t>(va_arg(args, int))), spec, false); break;
        case u'd':
        case u'i': {
            const std::int32_t value = va_arg(args, std::int32_t);
            const std::uint64_t magnitude =
                value < 0 ? static_cast<std::uint64_t>(-static_cast<std::int64_t>(value)) : static_cast<std::uint64_t>(value);
            Pad(out, (value < 0 ? u"-" : u"") + Digits(magnitude, 10, false), spec, true);
            break;
        }
        case u'u': Pad(out, Digits(va_arg(args, std::uint32_t), 10, false), spec, true); break;
        case u'x': Pad(out, Digits(va_arg(args, std::uint32_t), 16, false), spec, true); break;
        case u'X': Pad(out, Digits(va_arg(args, std::uint32_t), 16, true), spec, true); break;
        case u'\0': return out;
        default: out += *p; break;
        }
    }
    return out;
}

std::u16string Format(const char16_t* format, ...)
{
    std::va_list args;
    va_start(args, format);
    std::u16string text = FormatV(format, args);
    va_end(args);
    return text;
}

std::u16string FitToBuffer(std::u16string_view text, std::size_t capacity)
{
    return std::u16string(text.substr(0, capacity == 0 ? 0 : capacity - 1));
}

} // namespace qmt
