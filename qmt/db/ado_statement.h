// A statement as its shape and its values.
//
// The shape is the statement's text as it is shown (in the log, in
// messages), a printf conversion where each value goes: %s a text, %d a
// number, %03d a number of at least three digits. A quoted literal (N'...'
// or '...') is one value the store is given as text, whatever conversions
// it holds (N'|%d' gives "|7"); a bare %d is one number; a bare %s is a
// piece of the statement itself, which only the component's own texts fill
// (a list of column ids it parsed), never a caller's.
//
// The store is sent the shape with each literal and each bare %d replaced
// by a ? marker, the values bound apart: no value reaches the text the
// store parses. The shape is read when the program is compiled, and the
// values given for it are checked against its conversions then.
#pragma once

#include "platform/ado/ado.h"

#include <algorithm>
#include <array>
#include <concepts>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace qmt {

enum class ShapeConversion : unsigned char { Text, Number, PaddedNumber, Piece };

// One ? of the text the store is sent.
struct ShapeMarker {
    std::size_t start = 0, end = 0; // what the ? stands for in the shown text
    std::size_t from = 0, to = 0;   // the literal's content, or the %d
    std::size_t firstConversion = 0, conversions = 0;
    bool literal = false;
    bool wholeText = false; // a literal that is one %s and nothing else: bound as the argument itself
};

inline constexpr std::size_t kMaxShapeConversions = 16;

// A shape of any length, as a statement reads it.
struct ShapeView {
    std::u16string_view shown;
    std::u16string_view sent;
    std::span<const ShapeConversion> conversions;
    std::span<const ShapeMarker> markers;
    bool hasPieces = false;
};

template <std::size_t N>
class StatementShape {
public:
    // A shape that does not read as one (an unclosed literal, a conversion
    // of another kind, too many values, a comment, a literal with a prefix
    // other than N) stops the compilation here.
    consteval StatementShape(const char16_t (&text)[N])
    {
        for (std::size_t i = 0; i < N; ++i) m_shown[i] = text[i];
        Parse();
    }

    constexpr ShapeView View() const
    {
        return {std::u16string_view(m_shown, N - 1), std::u16string_view(m_sent, m_sentLength),
                std::span<const ShapeConversion>(m_conversions.data(), m_conversionCount),
                std::span<const ShapeMarker>(m_markers.data(), m_markerCount), m_hasPieces};
    }
    // The shown text, NUL-terminated.
    constexpr const char16_t* Text() const { return m_shown; }
    constexpr std::size_t ConversionCount() const { return m_conversionCount; }
    constexpr ShapeConversion Conversion(std::size_t i) const { return m_conversions[i]; }

private:
    static constexpr bool WordCharacter(char16_t c)
    {
        return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') || c == u'_';
    }

    // What may stand before a literal's opening quote.
    static constexpr bool OpensLiteral(char16_t c) { return c == u' ' || c == u'(' || c == u',' || c == u'='; }

    constexpr bool StartsNationalLiteral(std::size_t i) const
    {
        return m_shown[i] == u'N' && i + 1 < N - 1 && m_shown[i + 1] == u'\'' &&
               (i == 0 || !WordCharacter(m_shown[i - 1]));
    }

    // The conversion at i (just after its %), and how long it is.
    constexpr std::pair<ShapeConversion, std::size_t> ConversionAt(std::size_t i, bool inLiteral) const
    {
        if (i < N - 1 && m_shown[i] == u's') return {inLiteral ? ShapeConversion::Text : ShapeConversion::Piece, 1};
        if (i < N - 1 && m_shown[i] == u'd') return {ShapeConversion::Number, 1};
        if (i + 2 < N - 1 && m_shown[i] == u'0' && m_shown[i + 1] == u'3' && m_shown[i + 2] == u'd')
            return {ShapeConversion::PaddedNumber, 3};
        throw "a statement's shape holds a conversion other than %s, %d and %03d";
    }

    constexpr void AddConversion(ShapeConversion conversion)
    {
        if (m_conversionCount == kMaxShapeConversions) throw "a statement's shape holds too many values";
        m_conversions[m_conversionCount++] = conversion;
    }

    constexpr void AddMarker(ShapeMarker marker)
    {
        if (m_markerCount == kMaxShapeConversions) throw "a statement's shape holds too many values";
        m_markers[m_markerCount++] = marker;
        m_sent[m_sentLength++] = u'?';
    }

    // A quote right after a word is a prefixed literal (X'..', E'..') or a
    // word run into a literal: neither is a value's place.
    constexpr void RefuseOddText(std::size_t i) const
    {
        if ((m_shown[i] == u'-' && m_shown[i + 1] == u'-') || (m_shown[i] == u'/' && m_shown[i + 1] == u'*'))
            throw "a statement's shape holds a comment";
        if (m_shown[i] == u'\'' && i > 0 && !OpensLiteral(m_shown[i - 1]) && !StartsNationalLiteral(i - 1))
            throw "a statement's shape holds a literal with a prefix, or one run into another";
        if (m_shown[i] == u'?') throw "a statement's shape holds a marker of its own";
    }

    // literal is where the literal starts, its N included; start where its
    // content does.
    constexpr std::size_t ParseLiteral(std::size_t literal, std::size_t start)
    {
        std::size_t end = start;
        while (end < N - 1 && m_shown[end] != u'\'') ++end;
        if (end == N - 1) throw "a statement's shape holds a literal that is not closed";
        ShapeMarker marker{literal, end + 1, start, end, m_conversionCount, 0, true};
        for (std::size_t i = start; i < end; ++i) {
            if (m_shown[i] != u'%') continue;
            const auto [conversion, length] = ConversionAt(i + 1, true);
            AddConversion(conversion);
            ++marker.conversions;
            i += length;
        }
        marker.wholeText = end - start == 2 && m_shown[start] == u'%' && m_shown[start + 1] == u's';
        AddMarker(marker);
        return end + 1;
    }

    constexpr void Parse()
    {
        std::size_t i = 0;
        while (i < N - 1) {
            RefuseOddText(i);
            if (m_shown[i] == u'\'' || StartsNationalLiteral(i)) {
                i = ParseLiteral(i, i + (m_shown[i] == u'N' ? 2 : 1));
            } else if (m_shown[i] == u'%') {
                const auto [conversion, length] = ConversionAt(i + 1, false);
                AddConversion(conversion);
                if (conversion == ShapeConversion::Piece) {
                    m_hasPieces = true;
                    m_sent[m_sentLength++] = u'%';
                    m_sent[m_sentLength++] = u's';
                } else {
                    AddMarker({i, i + 1 + length, i, i + 1 + length, m_conversionCount - 1, 1, false});
                }
                i += 1 + length;
            } else {
                m_sent[m_sentLength++] = m_shown[i++];
            }
        }
    }

    char16_t m_shown[N] = {};
    char16_t m_sent[N] = {};
    std::size_t m_sentLength = 0;
    std::array<ShapeConversion, kMaxShapeConversions> m_conversions{};
    std::size_t m_conversionCount = 0;
    std::array<ShapeMarker, kMaxShapeConversions> m_markers{};
    std::size_t m_markerCount = 0;
    bool m_hasPieces = false;
};

// The text of a shape put together from pieces at compile time, for
// shapes that share a long clause:
// StatementShape{JoinText(u"SELECT ... ", kClause, u" WHERE ...").text}.
template <std::size_t Length>
struct JoinedText {
    char16_t text[Length];
};

template <std::size_t... N>
consteval JoinedText<(N + ...) - sizeof...(N) + 1> JoinText(const char16_t (&... pieces)[N])
{
    JoinedText<(N + ...) - sizeof...(N) + 1> joined{};
    std::size_t at = 0;
    ((std::copy_n(pieces, N - 1, joined.text + at), at += N - 1), ...);
    joined.text[at] = u'\0';
    return joined;
}

// A text value. Shown as given, or with each apostrophe doubled where the
// statement shows it as a literal holds it; bound as given either way.
struct TextArgument {
    TextArgument(std::u16string_view value) : text(value) {}
    TextArgument(const std::u16string& value) : text(value) {}
    TextArgument(const char16_t* value) : text(value) {}
    TextArgument(std::u16string_view value, bool showDoubled) : text(value), doubled(showDoubled) {}
    std::u16string_view text;
    bool doubled = false;
};

inline TextArgument Doubled(std::u16string_view text) { return {text, true}; }

// A piece of a statement's text that the component made from its own
// values (numbers it parsed, names it chose).
struct StatementPiece {
    explicit StatementPiece(std::u16string_view value) : text(value) {}
    std::u16string_view text;
};

class AdoStatement {
public:
    // The statement of Shape with these values, one per conversion in the
    // shape's order: a text (TextArgument) for %s inside a literal, a
    // number for %d and %03d, a StatementPiece for a bare %s. The values
    // are viewed, not copied: they must outlive the statement.
    template <const auto& Shape, typename... Values>
    static AdoStatement Of(const Values&... values)
    {
        static_assert(sizeof...(Values) == Shape.ConversionCount(),
                      "a statement takes one value per conversion of its shape");
        CheckTypes<Shape, Values...>(std::index_sequence_for<Values...>{});
        AdoStatement statement(Shape.View());
        (statement.Add(values), ...);
        statement.FillPieces();
        return statement;
    }

    // The text the store is sent, a ? where each value goes.
    std::u16string_view sent() const { return m_shape.hasPieces ? std::u16string_view(m_sent) : m_shape.sent; }
    // The same for every statement of one shape, so that what a connection
    // keeps per statement is kept per shape; null for a shape with pieces,
    // whose texts differ from statement to statement.
    const void* identity() const { return m_shape.hasPieces ? nullptr : m_shape.sent.data(); }
    std::size_t valueCount() const { return m_shape.markers.size(); }
    // The value of a ?, as the store is given it: a number, or a text.
    using Value = AdoValue;
    // The value of the marker-th ?. A text is viewed where it lies (the
    // caller's argument, the shape's constant), or written into room when
    // the literal composes several conversions: it is valid while both the
    // statement's arguments and room are.
    Value value(std::size_t marker, std::u16string& room) const;
    // The statement as it is shown: the shape with each value written where
    // its conversion stands, a text up to its first NUL.
    std::u16string shown() const;

private:
    struct Argument {
        std::u16string_view text;
        LONG number = 0;
        bool doubled = false;
    };

    explicit AdoStatement(ShapeView shape) : m_shape(shape) {}

    template <typename Value>
    static constexpr bool Accepts(ShapeConversion conversion)
    {
        switch (conversion) {
        case ShapeConversion::Text: return std::is_convertible_v<const Value&, TextArgument>;
        case ShapeConversion::Number:
        case ShapeConversion::PaddedNumber: return std::is_same_v<Value, LONG>; // nothing narrowed unseen
        case ShapeConversion::Piece: return std::is_same_v<Value, StatementPiece>;
        }
        return false;
    }

    template <const auto& Shape, typename... Values, std::size_t... I>
    static constexpr void CheckTypes(std::index_sequence<I...>)
    {
        static_assert((Accepts<Values>(Shape.Conversion(I)) && ...),
                      "a value's type does not suit its conversion in the statement's shape");
    }

    void Add(const TextArgument& text) { m_arguments[m_count++] = {text.text, 0, text.doubled}; }
    void Add(const StatementPiece& piece) { m_arguments[m_count++] = {piece.text, 0, false}; }
    template <std::integral Number>
    void Add(Number number)
    {
        m_arguments[m_count++] = {{}, static_cast<LONG>(number), false};
    }
    template <typename Text>
    requires(!std::integral<Text> && std::is_convertible_v<const Text&, TextArgument>) void Add(const Text& text)
    {
        Add(TextArgument(text));
    }

    void FillPieces();
    // The conversions of [from, to) of the shown text written into out: as
    // shown (a text up to its first NUL, doubled where so given), or as the
    // store is given them (texts whole and as given).
    enum class Rendering { Shown, Bound };
    void Render(std::u16string& out, std::size_t from, std::size_t to, std::size_t firstConversion,
                Rendering rendering = Rendering::Shown) const;

    ShapeView m_shape;
    std::array<Argument, kMaxShapeConversions> m_arguments{};
    std::size_t m_count = 0;
    std::u16string m_sent; // the sent text, for a shape with pieces
};

} // namespace qmt
