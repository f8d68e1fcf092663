// The CSV writer and reader agree: whatever a field holds, it is read back
// as written, and records keep the lines they start on.
#include "service/csv_file.h"

#include "platform/text/utf.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <random>

namespace {

// Faults caught: a field the writer leaves unquoted that the reader splits
// or trims (a comma, quote, CR, LF, blank at an end, a lone empty field, a
// byte-order mark at the start of the file); a quote not doubled; line
// numbers that count records instead of lines.
TEST(CsvFile, WhatTheWriterWritesTheReaderReadsBack)
{
    constexpr std::string_view kPieces[] = {
        "a", ",", "\"", "\r", "\n", "\r\n", " ", "\t", "", "\xEF\xBB\xBF", "|", "\xC3\xA9", std::string_view("\0", 1),
        "''"};
    std::mt19937 random(20261206);
    TempDir folder;
    const std::u16string path = valmorin::text::Widen((folder / "round.csv").string());
    for (int round = 0; round < 300; ++round) {
        std::vector<std::vector<std::string>> written;
        {
            CsvWriter writer(path);
            const std::size_t width = 1 + random() % 4;
            for (std::size_t r = 0, records = random() % 6; r <= records; ++r) {
                std::vector<std::string>& record = written.emplace_back();
                for (std::size_t f = 0; f < width; ++f) {
                    std::string& field = record.emplace_back();
                    for (std::size_t p = 0, pieces = random() % 5; p < pieces; ++p)
                        field += kPieces[random() % std::size(kPieces)];
                }
                std::vector<std::u16string> wide;
                for (const std::string& field : record) wide.push_back(*valmorin::text::Utf8ToUtf16(field));
                const std::vector<std::u16string_view> views(wide.begin(), wide.end());
                writer.Write(views);
            }
            writer.Commit();
        }
        CsvReader reader(path);
        CsvRecord record;
        std::int64_t line = 1;
        for (const std::vector<std::string>& expected : written) {
            ASSERT_TRUE(reader.Next(record)) << "round " << round;
            EXPECT_EQ(record.line, line);
            ASSERT_EQ(std::vector<std::string>(record.fields.begin(), record.fields.begin() + record.count), expected)
                << "round " << round;
            for (const std::string& field : expected) line += std::count(field.begin(), field.end(), '\n');
            ++line;
        }
        EXPECT_FALSE(reader.Next(record));
    }
}

} // namespace
