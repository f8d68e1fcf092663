// Change sets: proposing one, and the inbox of those pending, each with
// its changes and the values they replace, to approve or reject.
import { apiPath, call } from "./api.js";
import { attempt, el, field, form, report, show } from "./dom.js";

// Proposes changes to a table (rows put or deleted) in the signed-in
// user's name; says which change set now awaits approval.
export async function propose(table, changes) {
  const proposed = await attempt(() => call("POST", "/api/changesets", { table, changes }));
  if (proposed) report(`Proposed as change set ${proposed.id}: it awaits another user's approval.`, true);
  return proposed;
}

// A value a change makes or replaces, as words: none, approval on or off,
// a table's columns.
function valueText(value) {
  if (value === null || value === undefined) return "(none)";
  if (typeof value === "boolean") return value ? "approval required" : "approval not required";
  return typeof value === "object" ? JSON.stringify(value) : String(value);
}

// What a change makes: a row's OUTPUT, the table's new name, description,
// columns or approval; nothing for a deletion.
function madeValue(change) {
  switch (change.op) {
    case "put":
      return change.output;
    case "rename":
      return change.name;
    case "describe":
      return change.description;
    case "approval":
      return change.required;
    case "columns":
      return { add: change.add, rename: change.rename, delete: change.delete };
    default:
      return null; // a row or the table deleted
  }
}

function changeLine(change) {
  return el(
    "tr",
    {},
    el("td", {}, change.op),
    el("td", {}, change.input ?? ""),
    el("td", { class: "replaced" }, valueText(change.replaces)),
    el("td", { class: "proposed" }, valueText(madeValue(change))),
  );
}

// Approve, or reject with a reason; nothing to decide on one's own.
function decision(changeSet, session, redraw) {
  if (changeSet.proposer === session.user) return el("p", { class: "awaits" }, "Your own proposal: it awaits another user's approval.");
  const reason = el("input", { type: "text", name: "reason", required: true });
  const approve = el(
    "button",
    {
      type: "button",
      onclick: async () => {
        const applied = await attempt(() => call("POST", apiPath("changesets", String(changeSet.id), "approve")));
        if (!applied) return;
        await redraw();
        report(`Change set ${changeSet.id} applied as revision ${applied.revision}.`, true);
      },
    },
    "Approve",
  );
  const reject = form(
    { class: "inline" },
    async () => {
      if (await attempt(() => call("POST", apiPath("changesets", String(changeSet.id), "reject"), { reason: reason.value }))) redraw();
    },
    field("Reason", reason),
    el("button", { type: "submit", class: "secondary" }, "Reject"),
  );
  return el("div", { class: "toolbar" }, approve, reject);
}

function changeSetCard(changeSet, session, redraw) {
  return el(
    "section",
    { class: "card", "data-changeset": changeSet.id },
    el("h2", {}, `Change set ${changeSet.id} · ${changeSet.table}`),
    el("p", { class: "muted" }, `Proposed by ${changeSet.proposer} at ${changeSet.time}`),
    el(
      "div",
      { class: "scroll" },
      el(
        "table",
        { class: "diff" },
        el("thead", {}, el("tr", {}, ...["Change", "INPUT", "Now", "Proposed"].map((title) => el("th", { scope: "col" }, title)))),
        el("tbody", {}, changeSet.changes.map(changeLine)),
      ),
    ),
    decision(changeSet, session, redraw),
  );
}

// The pending change sets, newest first; each one's changes are read as
// the component shows them.
export async function showInbox(session) {
  const redraw = () => showInbox(session).catch((error) => report(error.message));
  const pending = (await call("GET", "/api/changesets?state=pending")).list;
  const shown = await Promise.all(pending.map((listed) => call("GET", apiPath("changesets", String(listed.id)))));
  show(
    el("h1", {}, "Inbox"),
    shown.length === 0
      ? el("p", { id: "inbox-empty", class: "muted" }, "No change set awaits approval.")
      : el("div", { id: "inbox" }, shown.map((changeSet) => changeSetCard(changeSet, session, redraw))),
  );
}
