// TableExport: a table written as CSV, its header the column names in
// ID_COL order, then one record per row in INPUT order, each stored field
// split into the values of its side's columns. The file replaces the one
// at the path only once it is whole.
#include "qmt/db/ado_transaction.h"
#include "service/call_frame.h"
#include "service/csv_file.h"
#include "service/listing.h"
#include "service/rows.h"
#include "service/statement_texts.h"
#include "service/table_columns.h"
#include "service/table_layout.h"

#include "platform/text/utf.h"

#include <limits>

namespace {

class Exporter {
public:
    Exporter(const TableLayout& layout, const std::u16string& table, CsvWriter& writer)
        : m_layout(layout), m_table(table), m_writer(writer), m_fields(layout.columns.size())
    {}

    void WriteHeader()
    {
        for (std::size_t c = 0; c < m_layout.columns.size(); ++c) m_fields[c] = m_layout.columns[c].name;
        m_writer.Write(m_fields);
    }

    // The fields are views of the row's two texts, split in place.
    void WriteRow(const qmt::CAdoRecord& row)
    {
        row.read(0, m_input);
        row.read(1, m_output);
        Split(m_input.view(), true, m_inputs);
        Split(m_output.view(), false, m_outputs);
        std::size_t input = 0, output = 0;
        for (std::size_t c = 0; c < m_layout.columns.size(); ++c)
            m_fields[c] = m_layout.columns[c].input ? m_inputs[input++] : m_outputs[output++];
        m_writer.Write(m_fields);
        ++m_rows;
    }

    LONG rows() const { return m_rows; }

private:
    // A field holding more values than its side has columns has no place
    // in the file: the export stops rather than lose them.
    void Split(std::u16string_view field, bool input, std::vector<std::u16string_view>& values)
    {
        const std::size_t count = m_layout.Count(input);
        if (SplitValues(field, count, values)) return;
        throw qmt::CException(u"CValmorin",
                              u"The row of INPUT \"" + std::u16string(m_input.view()) + u"\" of table \"" + m_table +
                                  u"\" holds more " + (input ? u"input" : u"output") + u" values than the table has " +
                                  (input ? u"input" : u"output") + u" columns (" + Decimal(static_cast<LONG>(count)) +
                                  u"); nothing was exported.",
                              static_cast<DWORD>(HRESULT_FROM_WIN32(13))); // ERROR_INVALID_DATA
    }

    const TableLayout& m_layout;
    const std::u16string& m_table;
    CsvWriter& m_writer;
    std::vector<std::u16string_view> m_fields;
    std::vector<std::u16string_view> m_inputs, m_outputs;
    CComBSTR m_input, m_output;
    LONG m_rows = 0;
};

} // namespace

// The rows are read in a transaction, which keeps the columns and the rows
// of one moment together (one snapshot whatever the writers do meanwhile,
// on the stores that give one) and keeps none of them waiting: an export
// of a large table lasts seconds.
HRESULT CValmorin::TableExport(BSTR Name, BSTR Path, LONG* Rows)
{
    if (Rows == nullptr) return E_POINTER;
    *Rows = 0;
    return ServiceCallFrame({}, [&] {
        const std::u16string table = ServiceText::FromBstr(Name).str();
        const std::u16string path = ServiceText::FromBstr(Path).str();
        if (path.empty()) RejectArgument(u"The argument Path is empty: there is no file to export to.");
        qmt::CAdoTransaction transaction(m_connection, qmt::CAdoTransaction::Kind::Reads);
        const TableLayout layout = ReadTableLayout(m_connection, table);
        if (layout.id == 0) RejectArgument(u"No table is named \"" + table + u"\"; nothing was exported.");
        if (layout.columns.empty())
            RejectArgument(u"Table \"" + table + u"\" has no columns to name in a header; nothing was exported.");
        CsvWriter writer(path);
        Exporter exporter(layout, table, writer);
        exporter.WriteHeader();
        StreamRows(m_connection, Sql<statements::kExportRows>(layout.id), [&](const qmt::CAdoRecord& row) {
            exporter.WriteRow(row);
            return true;
        });
        transaction.commit();
        writer.Commit();
        *Rows = exporter.rows();
        return S_OK;
    });
}
