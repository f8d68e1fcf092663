// CSV files as RFC 4180 reads them, through libcsv: UTF-8 with or without a
// byte-order mark, CRLF or LF line ends, quoted fields with doubled quotes
// and line breaks. The reader streams: it holds a block of the file and the
// record being read, whatever the file's size.
#pragma once

#include "platform/posix/replacement_file.h"
#include "platform/posix/unique_fd.h"
#include "platform/text/csv_limits.h"

#include <csv.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

// One record: its fields, the UTF-8 bytes as the file holds them, and the
// line it starts on, counting line feeds from 1.
struct CsvRecord {
    std::vector<std::string> fields;
    std::size_t count = 0; // fields[0, count) are this record's; the rest is room kept
    std::int64_t line = 0;
};

using valmorin::text::CsvLimits;

class CsvReader {
public:
    // Opens the file at path: a regular file only, never through a link,
    // so that a FIFO or a device cannot hang or flood the reader, and a
    // link cannot lead it elsewhere. Throws naming the file.
    explicit CsvReader(const std::u16string& path, CsvLimits limits = {});
    CsvReader(const CsvReader&) = delete;
    CsvReader& operator=(const CsvReader&) = delete;
    ~CsvReader();

    // The next record, blank lines passed over; false at the end. Throws
    // naming the file and line for a record that is not well-formed.
    bool Next(CsvRecord& record);

    const std::u16string& path() const { return m_path; }
    std::uint64_t size() const { return m_size; }
    std::uint64_t bytesRead() const { return m_bytesRead; }

private:
    static void EndField(void* bytes, std::size_t length, void* reader);
    static void EndRecord(int terminator, void* reader);
    bool Fill();
    void ParseLine(const char* bytes, std::size_t length);
    void Finish();
    [[noreturn]] void Malformed();
    [[noreturn]] void BeyondLimit();

    std::u16string m_path;
    CsvLimits m_limits;
    UniqueFd m_fd{-1};
    std::uint64_t m_size = 0;
    std::uint64_t m_bytesRead = 0;
    csv_parser m_parser{};
    std::vector<char> m_block;
    std::size_t m_blockUsed = 0, m_blockEnd = 0;
    bool m_atStart = true, m_finished = false;
    bool m_outOfMemory = false;    // a callback's allocation failed; libcsv cannot carry the exception
    bool m_beyondLimit = false;    // a record went past the limits; the same
    std::size_t m_recordBytes = 0; // the fields of the record being read, so far
    std::int64_t m_line = 1;       // the line being parsed
    std::int64_t m_recordLine = 1; // where the record being read started
    // Records complete and not yet handed out, and the one being read,
    // swapped with the caller's so that their room circulates.
    std::vector<CsvRecord> m_records;
    std::size_t m_ready = 0, m_taken = 0;
};

// Writes records to a file that replaces the one at a path once whole.
class CsvWriter {
public:
    // The file is made beside path (never through a link) with mode 0644,
    // whatever the umask; a path naming something other than a regular
    // file or a link is refused. Throws naming the file.
    explicit CsvWriter(const std::u16string& path);
    CsvWriter(const CsvWriter&) = delete;
    CsvWriter& operator=(const CsvWriter&) = delete;

    // Appends one record, its fields written as UTF-8, quoted only when
    // they must be, CRLF after.
    void Write(std::span<const std::u16string_view> fields);
    // Puts the file in place; without it nothing of the file stays.
    void Commit();

private:
    void Flush();
    [[noreturn]] void Failed(int error);

    std::u16string m_path;
    valmorin::posix::ReplacementFile m_file;
    std::string m_buffer;
    std::string m_quoted; // a field to quote, as UTF-8
    std::uint64_t m_written = 0;
};
