#include "service/csv_file.h"

#include "platform/posix/lock_safe_open.h"
#include "platform/text/utf.h"
#include "qmt/diag/exception.h"
#include "qmt/sys/file_error.h"

#include <cerrno>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

constexpr std::size_t kBlockBytes = 256 * 1024;
constexpr std::size_t kWriteBuffer = 1024 * 1024;
constexpr mode_t kExportMode = 0644;
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr DWORD kErrorInvalidData = 13; // ERROR_INVALID_DATA

std::u16string Decimal(std::int64_t value)
{
    const std::string digits = std::to_string(value);
    return std::u16string(digits.begin(), digits.end());
}

std::u16string ErrnoText(int error) { return valmorin::text::Widen(std::strerror(error)); }

[[noreturn]] void FileFailure(const std::u16string& path, std::u16string_view what, int error)
{
    throw qmt::CException(u"CValmorin", u"The file " + path + u" " + std::u16string(what) + u": " + ErrnoText(error),
                          static_cast<DWORD>(HRESULT_FROM_WIN32(qmt::Win32ErrorOfErrno(error))));
}

// RFC 4180 keeps the blanks around a field: none is trimmed.
int NoBlanks(unsigned char) { return 0; }

} // namespace

CsvReader::CsvReader(const std::u16string& path, CsvLimits limits) : m_path(path), m_limits(limits), m_records(1)
{
    const std::string native = valmorin::text::Utf16ToUtf8(path);
    m_fd = valmorin::posix::OpenUnlessLockedHere(native, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW);
    struct stat status {};
    if (!m_fd && errno == ELOOP)
        throw qmt::CException(u"CValmorin", u"The file " + m_path + u" is a symbolic link; links are not followed.",
                              static_cast<DWORD>(HRESULT_FROM_WIN32(5))); // ERROR_ACCESS_DENIED
    // This process holds locks on the file: a store's own file, whose locks
    // reading and closing it would drop.
    if (!m_fd && errno == EBUSY)
        throw qmt::CException(u"CValmorin",
                              u"The file " + m_path +
                                  u" is locked by this process (a store's own file?); "
                                  u"it is not read.",
                              static_cast<DWORD>(HRESULT_FROM_WIN32(32))); // ERROR_SHARING_VIOLATION
    if (!m_fd || ::fstat(m_fd.get(), &status) != 0) FileFailure(m_path, u"cannot be read", errno);
    if (!S_ISREG(status.st_mode))
        throw qmt::CException(u"CValmorin", u"The file " + m_path + u" is not a regular file; only those are read.",
                              static_cast<DWORD>(HRESULT_FROM_WIN32(5))); // ERROR_ACCESS_DENIED
    m_size = static_cast<std::uint64_t>(status.st_size);
    if (csv_init(&m_parser, CSV_STRICT | CSV_STRICT_FINI | CSV_REPALL_NL) != 0) throw std::bad_alloc();
    csv_set_space_func(&m_parser, NoBlanks);
    // libcsv grows the field it holds by this much at a time (128 bytes
    // unless told): a field of a MiB is otherwise copied thousands of times.
    csv_set_blk_size(&m_parser, kBlockBytes);
    m_block.resize(kBlockBytes);
}

CsvReader::~CsvReader() { csv_free(&m_parser); }

void CsvReader::EndField(void* bytes, std::size_t length, void* reader)
{
    auto& self = *static_cast<CsvReader*>(reader);
    CsvRecord& record = self.m_records[self.m_ready];
    if (self.m_outOfMemory || self.m_beyondLimit) return;
    self.m_recordBytes += length;
    if (record.count == self.m_limits.fields || length > self.m_limits.fieldBytes ||
        self.m_recordBytes > self.m_limits.recordBytes) {
        self.m_beyondLimit = true; // thrown once libcsv has returned
        return;
    }
    try {
        if (record.count == record.fields.size()) record.fields.emplace_back();
        std::string& field = record.fields[record.count++];
        if (length == 0)
            field.clear();
        else
            field.assign(static_cast<const char*>(bytes), length);
    } catch (const std::bad_alloc&) {
        self.m_outOfMemory = true; // thrown once libcsv has returned
    }
}

// A record ends at its line's end; the next starts on the following line.
// A CR alone ends a record too, the line going on; the LF of a CRLF is
// reported after its CR as an empty record.
void CsvReader::EndRecord(int terminator, void* reader)
{
    auto& self = *static_cast<CsvReader*>(reader);
    if (self.m_outOfMemory || self.m_beyondLimit) return;
    CsvRecord& record = self.m_records[self.m_ready];
    self.m_recordBytes = 0;
    if (record.count > 0) {
        record.line = self.m_recordLine;
        try {
            if (++self.m_ready == self.m_records.size()) self.m_records.emplace_back();
        } catch (const std::bad_alloc&) {
            self.m_outOfMemory = true;
            return;
        }
        self.m_records[self.m_ready].count = 0;
    }
    self.m_recordLine = terminator == '\r' ? self.m_line : self.m_line + 1;
}

bool CsvReader::Fill()
{
    for (;;) {
        const ssize_t got = ::read(m_fd.get(), m_block.data(), m_block.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) FileFailure(m_path, u"cannot be read", errno);
        m_blockUsed = 0;
        m_blockEnd = static_cast<std::size_t>(got);
        m_bytesRead += m_blockEnd;
        if (m_atStart && std::string_view(m_block.data(), m_blockEnd).starts_with(kByteOrderMark))
            m_blockUsed = kByteOrderMark.size();
        m_atStart = false;
        return got > 0;
    }
}

void CsvReader::ParseLine(const char* bytes, std::size_t length)
{
    const std::size_t parsed = csv_parse(&m_parser, bytes, length, EndField, EndRecord, this);
    if (m_outOfMemory) throw std::bad_alloc();
    // libcsv holds the field being read whole: a long one is stopped here,
    // a block past the limit at most.
    if (m_beyondLimit || m_parser.entry_pos > m_limits.fieldBytes ||
        m_recordBytes + m_parser.entry_pos > m_limits.recordBytes)
        BeyondLimit();
    if (parsed != length) Malformed();
}

void CsvReader::Finish()
{
    m_finished = true;
    const int result = csv_fini(&m_parser, EndField, EndRecord, this);
    if (m_outOfMemory) throw std::bad_alloc();
    if (m_beyondLimit) BeyondLimit();
    if (result != 0) Malformed();
}

void CsvReader::Malformed()
{
    if (csv_error(&m_parser) == CSV_ENOMEM || csv_error(&m_parser) == CSV_ETOOBIG) throw std::bad_alloc();
    const std::u16string rule =
        m_finished ? u"the file ends inside the quoted field of the record that starts on line " + Decimal(m_recordLine)
                   : u"a quote stands inside an unquoted field, or text follows a closing quote";
    throw qmt::CException(u"CValmorin",
                          u"The file " + m_path + u", line " + Decimal(m_line) + u", is not well-formed CSV: " + rule +
                              u".",
                          static_cast<DWORD>(HRESULT_FROM_WIN32(kErrorInvalidData)));
}

void CsvReader::BeyondLimit()
{
    const CsvRecord& record = m_records[m_ready];
    const std::u16string rule =
        record.count == m_limits.fields
            ? u"the record has more than " + Decimal(static_cast<std::int64_t>(m_limits.fields)) + u" fields"
        : m_recordBytes + m_parser.entry_pos > m_limits.recordBytes
            ? u"the record is longer than " + Decimal(static_cast<std::int64_t>(m_limits.recordBytes)) + u" bytes"
            : u"field " + Decimal(static_cast<std::int64_t>(record.count + 1)) + u" is longer than " +
                  Decimal(static_cast<std::int64_t>(m_limits.fieldBytes)) + u" bytes";
    throw qmt::CException(u"CValmorin",
                          u"The file " + m_path + u", line " + Decimal(m_recordLine) + u": " + rule + u".",
                          static_cast<DWORD>(HRESULT_FROM_WIN32(kErrorInvalidData)));
}

// The file is fed to the parser a line at a time, so that the line being
// parsed is known whenever a field or record ends.
bool CsvReader::Next(CsvRecord& record)
{
    while (m_taken == m_ready) {
        // Everything handed out: the record being read moves to the front.
        std::swap(m_records.front(), m_records[m_ready]);
        m_ready = m_taken = 0;
        if (m_finished) return false;
        if (m_blockUsed == m_blockEnd && !Fill()) {
            Finish();
            continue;
        }
        const char* start = m_block.data() + m_blockUsed;
        const std::size_t available = m_blockEnd - m_blockUsed;
        const auto* lineEnd = static_cast<const char*>(std::memchr(start, '\n', available));
        const std::size_t length = lineEnd ? static_cast<std::size_t>(lineEnd - start) + 1 : available;
        ParseLine(start, length);
        m_blockUsed += length;
        if (lineEnd) ++m_line;
    }
    std::swap(record, m_records[m_taken++]);
    return true;
}

namespace {

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

// Quotes where a reader could take the field for something else: a
// separator, quote or line break inside it, blanks at its ends (which many
// readers trim), a lone empty field (a blank line, which is passed over),
// and a byte-order mark at the start of the file.
bool NeedsQuotes(std::u16string_view field, bool alone, bool firstOfFile)
{
    if (field.empty()) return alone;
    for (const char16_t c : field)
        if (c == u',' || c == u'"' || c == u'\r' || c == u'\n') return true;
    return IsBlank(field.front()) || IsBlank(field.back()) || (firstOfFile && field.front() == u'\uFEFF');
}

// A regular file, nothing, or a link that leads to one of those: the export
// takes its place (a link is replaced, never written through). A link to a
// device, a pipe or a folder (/dev/stdout) is not: whoever made it meant
// that thing, and a file in its place would take what others write there.
bool ReplaceableByAFile(const std::filesystem::path& path)
{
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0 || S_ISREG(status.st_mode)) return true;
    if (!S_ISLNK(status.st_mode)) return false;
    if (::stat(path.c_str(), &status) != 0) return errno == ENOENT; // a link to nothing yet
    return S_ISREG(status.st_mode);
}

} // namespace

CsvWriter::CsvWriter(const std::u16string& path) : m_path(path), m_file(valmorin::text::Utf16ToUtf8(path))
{
    if (!ReplaceableByAFile(m_file.target()))
        throw qmt::CException(
            u"CValmorin", u"The file " + m_path + u" is not a regular file, nor a link to one; it was left as it is.",
            static_cast<DWORD>(HRESULT_FROM_WIN32(5))); // ERROR_ACCESS_DENIED
    if (const int error = m_file.SetMode(kExportMode)) Failed(error);
    m_buffer.reserve(kWriteBuffer + kBlockBytes);
}

void CsvWriter::Write(std::span<const std::u16string_view> fields)
{
    const bool firstOfFile = m_written == 0 && m_buffer.empty();
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const std::u16string_view field = fields[i];
        if (i > 0) m_buffer += ',';
        std::size_t at = m_buffer.size();
        if (!NeedsQuotes(field, fields.size() == 1, firstOfFile && i == 0)) {
            m_buffer.resize(at + 3 * field.size()); // room for the UTF-8
            m_buffer.resize(
                static_cast<std::size_t>(valmorin::text::EncodeUtf8(field, m_buffer.data() + at) - m_buffer.data()));
            continue;
        }
        m_quoted = valmorin::text::Utf16ToUtf8(field);
        m_buffer.resize(at + 2 * m_quoted.size() + 2); // every byte a doubled quote, and the two around
        at += csv_write2(m_buffer.data() + at, m_buffer.size() - at, m_quoted.data(), m_quoted.size(), '"');
        m_buffer.resize(at);
    }
    m_buffer += "\r\n";
    if (m_buffer.size() >= kWriteBuffer) Flush();
}

void CsvWriter::Flush()
{
    if (const int error = m_file.Write(m_buffer)) Failed(error);
    m_written += m_buffer.size();
    m_buffer.clear();
}

void CsvWriter::Commit()
{
    Flush();
    if (const int error = m_file.Commit()) Failed(error);
}

void CsvWriter::Failed(int error) { FileFailure(m_path, u"cannot be written", error); }
