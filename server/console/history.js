// The history of a table or of one of its rows: each change with its
// revision, time, user and approver, what it replaced and what it made,
// and a Revert that proposes undoing the change's revision.
import { apiPath, call } from "./api.js";
import { attempt, el, report } from "./dom.js";

const kHistoryPage = 20;

function valueText(value) {
  return value === null || value === undefined ? "(none)" : value;
}

// What a change did, in words: a row's OUTPUT before and after, the
// table's approval, name, description or a column.
export function changeText(event) {
  switch (event.kind) {
    case "row":
      return `${event.input}: ${valueText(event.before)} → ${valueText(event.after)}`;
    case "approval":
      return event.after === "1" ? "approval required" : "approval no longer required";
    default:
      return `${event.kind}: ${valueText(event.before)} → ${valueText(event.after)}`;
  }
}

async function revert(revision) {
  const proposed = await attempt(() => call("POST", apiPath("revisions", revision, "revert")));
  if (proposed) report(`The revert of revision ${revision} is proposed as change set ${proposed.id}: it awaits another user's approval.`, true);
}

function eventLine(event) {
  return el(
    "tr",
    { "data-revision": event.revision },
    el("td", { class: "number" }, event.revision),
    el("td", { class: "wide-only" }, event.time),
    el("td", {}, event.user ?? "another program"),
    el("td", {}, event.approver ?? ""),
    el("td", { class: "change" }, changeText(event)),
    el("td", { class: "row-actions" }, el("button", { type: "button", class: "secondary", onclick: () => revert(event.revision) }, "Revert")),
  );
}

// A page of the changes of table (of its row input when given), newest
// first, drawn into area with the buttons that page through them.
export async function showHistory(area, table, input = null, offset = 0) {
  const query = `?offset=${offset}&limit=${kHistoryPage}` + (input === null ? "" : `&input=${encodeURIComponent(input)}`);
  const history = await call("GET", apiPath("tables", table, "history") + query);
  const last = offset + history.list.length;
  const page = (to) => attempt(() => showHistory(area, table, input, to));
  area.replaceChildren(
    el("h3", {}, input === null ? `History of ${table}` : `History of row ${input}`),
    el(
      "div",
      { class: "scroll" },
      el(
        "table",
        { class: "history" },
        el(
          "thead",
          {},
          el(
            "tr",
            {},
            ...["Revision", "Time", "By", "Approved by", "Change", ""].map((title, i) =>
              el("th", { scope: "col", class: i === 1 ? "wide-only" : null }, title),
            ),
          ),
        ),
        el("tbody", {}, history.list.map(eventLine)),
      ),
    ),
    el(
      "div",
      { class: "toolbar" },
      el("span", { class: "history-range" }, history.total === 0 ? "No changes recorded" : `Changes ${offset + 1}–${last} of ${history.total}`),
      el("button", { type: "button", class: "secondary", disabled: offset === 0, onclick: () => page(Math.max(0, offset - kHistoryPage)) }, "Newer"),
      el("button", { type: "button", class: "secondary", disabled: last >= history.total, onclick: () => page(offset + kHistoryPage) }, "Older"),
    ),
  );
}
