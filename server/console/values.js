// How the component stores a row of several columns, for the previews:
// INPUT holds the input columns' values and OUTPUT the others', each in
// column-id order, joined by "|".

// Cuts a stored field at "|"; empty values after the last non-empty one are
// not kept apart from missing ones, as the component reads them.
export function splitValues(text) {
  const values = text.split("|");
  while (values.length > 0 && values[values.length - 1] === "") values.pop();
  return values;
}

// What a change of columns does to the stored values: the positions of the
// deleted columns on each side, and a "|" per added column of that side.
export function columnChange(columns, deletedIds, added) {
  const positions = { input: [], output: [] };
  const count = { input: 0, output: 0 };
  for (const column of [...columns].sort((a, b) => a.id - b.id)) {
    const side = column.input ? "input" : "output";
    if (deletedIds.includes(column.id)) positions[side].push(count[side]);
    count[side] += 1;
  }
  const suffix = { input: "", output: "" };
  for (const column of added) suffix[column.input ? "input" : "output"] += "|";
  return { positions, suffix };
}

function rewrite(text, positions, suffix) {
  return splitValues(text).filter((_, position) => !positions.includes(position)).join("|") + suffix;
}

// A row as the change would leave it.
export function rewriteRow(row, change) {
  return {
    input: rewrite(row.input, change.positions.input, change.suffix.input),
    output: rewrite(row.output, change.positions.output, change.suffix.output),
  };
}

// What importing a file's rows would do to a table's rows (both lists of
// {input, output}): rows added, changed, unchanged, and deleted by a
// replacement.
export function importReport(stored, incoming, replace) {
  const current = new Map(stored.map((row) => [row.input, row.output]));
  const report = { read: incoming.length, added: 0, changed: 0, unchanged: 0, deleted: 0 };
  const seen = new Set();
  for (const row of incoming) {
    seen.add(row.input);
    if (!current.has(row.input)) report.added += 1;
    else if (current.get(row.input) === row.output) report.unchanged += 1;
    else report.changed += 1;
  }
  if (replace) report.deleted = stored.filter((row) => !seen.has(row.input)).length;
  return report;
}

// A CSV record as a stored row of the table: the header names the columns,
// in any order.
export function storedRow(header, record, columns) {
  const valueOf = (column) => record[header.indexOf(column.name)] ?? "";
  const ordered = [...columns].sort((a, b) => a.id - b.id);
  return {
    input: ordered.filter((column) => column.input).map(valueOf).join("|"),
    output: ordered.filter((column) => !column.input).map(valueOf).join("|"),
  };
}
