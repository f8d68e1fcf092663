#include "qmt/db/ado_statement.h"

#include "qmt/diag/format.h"

namespace qmt {

namespace {

// A text as %s writes it: up to its first NUL.
std::u16string_view UpToNul(std::u16string_view text) { return text.substr(0, text.find(u'\0')); }

void AppendText(std::u16string& out, std::u16string_view text, bool doubled)
{
    text = UpToNul(text);
    if (!doubled) {
        out.append(text);
        return;
    }
    for (const char16_t c : text) out.append(c == u'\'' ? 2 : 1, c);
}

} // namespace

void AdoStatement::Render(std::u16string& out, std::size_t from, std::size_t to, std::size_t conversion,
                          Rendering rendering) const
{
    const std::u16string_view shown = m_shape.shown;
    for (std::size_t i = from; i < to; ++i) {
        if (shown[i] != u'%') {
            out += shown[i];
            continue;
        }
        const Argument& argument = m_arguments[conversion];
        switch (m_shape.conversions[conversion++]) {
        case ShapeConversion::Text:
        case ShapeConversion::Piece:
            if (rendering == Rendering::Bound)
                out.append(argument.text);
            else
                AppendText(out, argument.text, argument.doubled);
            i += 1;
            break;
        case ShapeConversion::Number:
            out += Format(u"%d", argument.number);
            i += 1;
            break;
        case ShapeConversion::PaddedNumber:
            out += Format(u"%03d", argument.number);
            i += 3;
            break;
        }
    }
}

void AdoStatement::FillPieces()
{
    if (!m_shape.hasPieces) return;
    // The sent text is the shown one with each marker's span replaced by ?
    // and each piece written where it stands.
    std::size_t at = 0, conversion = 0;
    for (const ShapeMarker& marker : m_shape.markers) {
        Render(m_sent, at, marker.start, conversion);
        m_sent += u'?';
        conversion = marker.firstConversion + marker.conversions;
        at = marker.end;
    }
    Render(m_sent, at, m_shape.shown.size(), conversion);
}

AdoStatement::Value AdoStatement::value(std::size_t index, std::u16string& room) const
{
    const ShapeMarker& marker = m_shape.markers[index];
    if (!marker.literal) return {false, {}, m_arguments[marker.firstConversion].number};
    if (marker.wholeText) return {true, m_arguments[marker.firstConversion].text};
    if (marker.conversions == 0) return {true, m_shape.shown.substr(marker.from, marker.to - marker.from)};
    room.clear();
    Render(room, marker.from, marker.to, marker.firstConversion, Rendering::Bound);
    return {true, room};
}

std::u16string AdoStatement::shown() const
{
    std::u16string text;
    text.reserve(m_shape.shown.size() + 32);
    Render(text, 0, m_shape.shown.size(), 0);
    return text;
}

} // namespace qmt
