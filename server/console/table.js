// One table: whether its changes need approval, its details, its columns
// (with a preview of how a change of columns rewrites the stored values),
// its rows 100 at a time, CSV in and out, and its history. The rows of a
// table that needs approval are changed through proposals.
import { apiPath, call, uploadCsv } from "./api.js";
import { ask, attempt, el, field, form, report, show } from "./dom.js";
import { showHistory } from "./history.js";
import { propose } from "./inbox.js";
import { columnChange, importReport, rewriteRow, storedRow } from "./values.js";

const kPage = 100;
const kPreviewRows = 5;

// Where the user was in each table's rows, kept across the page's redraws.
const places = new Map();

function place(name) {
  if (!places.has(name)) places.set(name, { contains: "", offset: 0 });
  return places.get(name);
}

function headed(...titles) {
  return el("thead", {}, el("tr", {}, ...titles.map((title) => el("th", { scope: "col" }, title))));
}

function detailsSection(table, redraw) {
  const name = el("input", { type: "text", name: "table-name", value: table.name, required: true });
  const description = el("input", { type: "text", name: "table-description", value: table.description });
  const details = form(
    { class: "inline" },
    async () => {
      const changed = await attempt(() =>
        call("PATCH", apiPath("tables", table.name), { name: name.value, description: description.value }),
      );
      if (!changed) return;
      if (changed.name !== table.name) location.hash = "#/tables/" + encodeURIComponent(changed.name);
      else redraw();
    },
    field("Name", name),
    field("Description", description),
    el("button", { type: "submit" }, "Save"),
  );
  return el("section", { class: "card" }, details);
}

// The preview of a change of columns on the first stored rows, with the
// buttons that make it or drop it.
async function previewColumns(table, area, deletedIds, added, body, redraw) {
  const rows = (await call("GET", apiPath("tables", table.name, "rows") + `?offset=0&limit=${kPreviewRows}`)).list;
  const change = columnChange(table.columns, deletedIds, added);
  const lines = rows.map((row) => {
    const after = rewriteRow(row, change);
    return el("tr", {}, el("td", {}, row.input), el("td", {}, row.output), el("td", {}, after.input), el("td", {}, after.output));
  });
  const apply = el(
    "button",
    {
      type: "button",
      id: "apply-columns",
      onclick: async () => {
        if (await attempt(() => call("PATCH", apiPath("tables", table.name), body))) redraw();
      },
    },
    "Apply the change",
  );
  area.replaceChildren(
    el("p", {}, `How the first ${rows.length} of ${table.rows} rows will be stored:`),
    el(
      "div",
      { class: "scroll" },
      el(
        "table",
        { class: "preview", id: "column-preview" },
        headed("INPUT now", "OUTPUT now", "INPUT after", "OUTPUT after"),
        el("tbody", {}, lines),
      ),
    ),
    el(
      "div",
      { class: "toolbar" },
      apply,
      el("button", { type: "button", class: "secondary", onclick: () => area.replaceChildren() }, "Cancel"),
    ),
  );
  apply.focus();
}

function columnsSection(table, redraw) {
  const area = el("div", { role: "region", "aria-label": "Preview of the change" });
  const rows = table.columns.map((column) => {
    const rename = el("input", { type: "text", name: `rename-${column.id}`, value: column.name, "aria-label": `New name of column ${column.name}` });
    return el(
      "tr",
      {},
      el("td", { class: "number" }, column.id),
      el("td", {}, rename),
      el("td", {}, column.input ? "input" : "output"),
      el(
        "td",
        { class: "row-actions" },
        el(
          "button",
          {
            type: "button",
            class: "secondary",
            onclick: async () => {
              if (await attempt(() => call("PATCH", apiPath("tables", table.name), { rename: [{ id: column.id, name: rename.value }] }))) redraw();
            },
          },
          "Rename",
        ),
        el(
          "button",
          {
            type: "button",
            class: "secondary",
            onclick: () => attempt(() => previewColumns(table, area, [column.id], [], { delete: [column.id] }, redraw)),
          },
          "Delete…",
        ),
      ),
    );
  });
  const name = el("input", { type: "text", name: "new-column", required: true });
  const input = el("input", { type: "checkbox", name: "new-column-input" });
  const add = form(
    { class: "inline" },
    () => {
      const column = { name: name.value, input: input.checked };
      attempt(() => previewColumns(table, area, [], [column], { add: [column] }, redraw));
    },
    field("New column", name),
    el("label", { class: "check" }, input, "input"),
    el("button", { type: "submit", class: "secondary" }, "Add…"),
  );
  return el(
    "section",
    { class: "card" },
    el("div", { class: "scroll" }, el("table", { id: "columns" }, headed("Id", "Name", "Side", ""), el("tbody", {}, rows))),
    add,
    area,
  );
}

// Puts a row (a new one, or a new OUTPUT): proposed when the table needs
// approval, written otherwise.
function putRow(table, input, output, isNew) {
  if (table.approval) return propose(table.name, [{ op: "put", input, output }]);
  if (isNew) return attempt(() => call("POST", apiPath("tables", table.name, "rows"), { input, output }));
  return attempt(() => call("PUT", apiPath("tables", table.name, "rows", input), { output }));
}

function rowLine(table, row, historyArea, redraw) {
  const output = el("td", { class: "output" }, row.output);
  const edit = () => {
    const value = el("input", { type: "text", name: "output", value: row.output, "aria-label": `OUTPUT of ${row.input}` });
    const save = async () => {
      if (await putRow(table, row.input, value.value, false)) redraw();
    };
    value.addEventListener("keydown", (event) => {
      if (event.key === "Enter") save();
      if (event.key === "Escape") redraw();
    });
    output.replaceChildren(
      el(
        "div",
        { class: "row-actions" },
        value,
        el("button", { type: "button", onclick: save }, "Save"),
        el("button", { type: "button", class: "secondary", onclick: redraw }, "Cancel"),
      ),
    );
    value.focus();
  };
  const remove = async () => {
    if (table.approval) {
      if (await ask(`Propose deleting the row "${row.input}" of table "${table.name}"?`, "Propose")) await propose(table.name, [{ op: "delete", input: row.input }]);
      return;
    }
    if (!(await ask(`Delete the row "${row.input}" of table "${table.name}"?`))) return;
    if ((await attempt(() => call("DELETE", apiPath("tables", table.name, "rows", row.input)))) !== undefined) redraw();
  };
  const history = () => attempt(() => showHistory(historyArea, table.name, row.input)).then(() => historyArea.scrollIntoView({ block: "nearest" }));
  return el(
    "tr",
    { "data-input": row.input },
    el("td", {}, row.input),
    output,
    el("td", { class: "wide-only" }, row.lastactionuser),
    el(
      "td",
      { class: "row-actions" },
      el("button", { type: "button", class: "secondary", onclick: history }, "History"),
      el("button", { type: "button", class: "secondary", onclick: edit }, "Edit"),
      el("button", { type: "button", class: "secondary", onclick: remove }, "Delete"),
    ),
  );
}

async function rowsSection(table, redraw) {
  const where = place(table.name);
  const query = `?contains=${encodeURIComponent(where.contains)}&offset=${where.offset}&limit=${kPage}`;
  const page = await call("GET", apiPath("tables", table.name, "rows") + query);
  const historyArea = el("div", { role: "region", "aria-label": "History of a row", id: "row-history" });
  const search = el("input", { type: "search", name: "contains", value: where.contains });
  const searchForm = form(
    { class: "inline" },
    () => {
      where.contains = search.value;
      where.offset = 0;
      redraw();
    },
    field("Rows whose INPUT or OUTPUT contains", search),
    el("button", { type: "submit", class: "secondary" }, "Search"),
  );
  const last = Math.min(where.offset + page.list.length, page.total);
  const pager = el(
    "div",
    { class: "toolbar" },
    el("span", { id: "page-range" }, page.total === 0 ? "No rows" : `Rows ${where.offset + 1}–${last} of ${page.total}`),
    el(
      "button",
      {
        type: "button",
        class: "secondary",
        disabled: where.offset === 0,
        onclick: () => {
          where.offset = Math.max(0, where.offset - kPage);
          redraw();
        },
      },
      "Previous",
    ),
    el(
      "button",
      {
        type: "button",
        class: "secondary",
        disabled: last >= page.total,
        onclick: () => {
          where.offset += kPage;
          redraw();
        },
      },
      "Next",
    ),
  );
  const input = el("input", { type: "text", name: "new-input", required: true });
  const output = el("input", { type: "text", name: "new-output" });
  const add = form(
    { class: "inline" },
    async () => {
      if (await putRow(table, input.value, output.value, true)) redraw();
    },
    field("INPUT", input),
    field("OUTPUT", output),
    el("button", { type: "submit" }, "Add the row"),
  );
  return el(
    "section",
    { class: "card" },
    searchForm,
    el(
      "div",
      { class: "scroll" },
      el(
        "table",
        { id: "rows" },
        el(
          "thead",
          {},
          el(
            "tr",
            {},
            el("th", { scope: "col" }, "INPUT"),
            el("th", { scope: "col" }, "OUTPUT"),
            el("th", { scope: "col", class: "wide-only" }, "Last change by"),
            el("th", { scope: "col" }, ""),
          ),
        ),
        el("tbody", {}, page.list.map((row) => rowLine(table, row, historyArea, redraw))),
      ),
    ),
    pager,
    add,
    historyArea,
  );
}

// Reads a chosen CSV file in the browser: its header and records.
function parseCsv(file) {
  return new Promise((resolve, reject) => {
    window.Papa.parse(file, {
      skipEmptyLines: true,
      complete: (result) => {
        if (result.errors.length > 0) reject(new Error(`${file.name}, row ${result.errors[0].row + 1}: ${result.errors[0].message}`));
        else resolve({ header: result.data[0] ?? [], records: result.data.slice(1) });
      },
      error: reject,
    });
  });
}

async function previewImport(table, file, replace, area) {
  const { header, records } = await parseCsv(file);
  const stored = (await call("GET", apiPath("tables", table.name, "rows") + "?offset=0&limit=0")).list;
  const incoming = records.map((record) => storedRow(header, record, table.columns));
  const expected = importReport(stored, incoming, replace);
  area.replaceChildren(
    el("p", {}, `The first rows of ${file.name}:`),
    el(
      "div",
      { class: "scroll" },
      el(
        "table",
        { class: "preview", id: "csv-preview" },
        headed(...header),
        el("tbody", {}, records.slice(0, kPreviewRows).map((record) => el("tr", {}, record.map((value) => el("td", {}, value))))),
      ),
    ),
    el(
      "p",
      { id: "import-forecast" },
      `${replace ? "Replacing" : "Merging"}: ${expected.read} read, ${expected.added} added, ${expected.changed} changed, ` +
        `${expected.unchanged} unchanged, ${expected.deleted} deleted.`,
    ),
  );
}

function csvSection(table, redraw) {
  const file = el("input", { type: "file", name: "csv", accept: ".csv,text/csv" });
  const mode = el("select", { name: "mode" }, el("option", { value: "merge" }, "Merge"), el("option", { value: "replace" }, "Replace"));
  const area = el("div", { role: "region", "aria-label": "Preview of the import" });
  const progress = el("progress", { max: 1, value: 0, hidden: true, "aria-label": "Upload" });
  const chosen = () => {
    if (file.files.length === 0) throw new Error("Choose a CSV file first.");
    return file.files[0];
  };
  const preview = () => attempt(() => previewImport(table, chosen(), mode.value === "replace", area));
  const upload = () =>
    attempt(async () => {
      const sent = chosen();
      if (mode.value === "replace" && !(await ask(`Replace every row of "${table.name}" with the rows of ${sent.name}?`, "Replace"))) return;
      progress.hidden = false;
      const answer = await uploadCsv(table.name, sent, mode.value, (share) => {
        progress.value = share;
      }).finally(() => {
        progress.hidden = true;
      });
      redraw();
      const counts = `${answer.read} read, ${answer.added} added, ${answer.changed} changed, ${answer.unchanged} unchanged, ${answer.deleted} deleted`;
      if (answer.changeset) report(`Proposed ${sent.name} as change set ${answer.changeset} (${counts}): it awaits another user's approval.`, true);
      else report(`Imported ${sent.name}: ${counts}.`, true);
    });
  return el(
    "section",
    { class: "card" },
    el(
      "div",
      { class: "toolbar" },
      field("CSV file", file),
      field("Mode", mode),
      el("button", { type: "button", class: "secondary", onclick: preview }, "Preview"),
      el("button", { type: "button", id: "import", onclick: upload }, "Import"),
      el("a", { class: "button secondary", id: "export", href: apiPath("tables", table.name, "csv"), download: `${table.name}.csv` }, "Export"),
    ),
    progress,
    area,
  );
}

// Whether the table's changes need another user's approval, and the
// button that changes it: requiring it applies at once, lifting it is
// itself a proposal.
function approvalSection(table, redraw) {
  const set = async (required) => {
    const answer = await attempt(() => call("PUT", apiPath("tables", table.name, "approval"), { required }));
    if (!answer) return;
    if (answer.id !== undefined) report(`Lifting approval is proposed as change set ${answer.id}: it awaits another user's approval.`, true);
    else redraw();
  };
  return el(
    "section",
    { class: "card toolbar", id: "approval" },
    el("span", { id: "approval-state" }, table.approval ? "Changes to this table need another user's approval." : "Changes to this table apply directly."),
    table.approval
      ? el("button", { type: "button", class: "secondary", onclick: () => set(false) }, "Stop requiring approval…")
      : el("button", { type: "button", class: "secondary", onclick: () => set(true) }, "Require approval"),
  );
}

export async function showTable(name) {
  const redraw = () => showTable(name).catch((error) => report(error.message));
  const table = await call("GET", apiPath("tables", name));
  const remove = async () => {
    if (!(await ask(`Delete the table "${table.name}" and its ${table.rows} rows?`))) return;
    if ((await attempt(() => call("DELETE", apiPath("tables", table.name)))) !== undefined) location.hash = "#/tables";
  };
  const rows = await rowsSection(table, redraw);
  const historyArea = el("div", { role: "region", "aria-label": "History of the table", id: "table-history" });
  // A store that keeps no history still shows its tables.
  await showHistory(historyArea, table.name).catch((error) => historyArea.replaceChildren(el("p", { class: "muted" }, error.message)));
  show(
    el("p", {}, el("a", { href: "#/tables" }, "← Tables")),
    el("h1", {}, table.name),
    el(
      "div",
      { class: "toolbar" },
      el("span", { class: "muted" }, `${table.rows} row${table.rows === 1 ? "" : "s"} · last change by ${table.lastactionuser || "nobody"}`),
      el("button", { type: "button", class: "danger", onclick: remove }, "Delete the table…"),
    ),
    approvalSection(table, redraw),
    detailsSection(table, redraw),
    el("h2", {}, "Columns"),
    columnsSection(table, redraw),
    el("h2", {}, "Rows"),
    rows,
    el("h2", {}, "CSV"),
    csvSection(table, redraw),
    el("h2", {}, "History"),
    el("section", { class: "card" }, historyArea),
  );
}
