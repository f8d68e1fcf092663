// The tables: a searchable list with who changed each last, and a form
// that creates one.
import { call } from "./api.js";
import { attempt, el, field, form, show } from "./dom.js";

function tableLink(name) {
  return el("a", { href: "#/tables/" + encodeURIComponent(name) }, name);
}

function columnEditor() {
  const list = el("div", { class: "columns" });
  const addLine = (input) => {
    const number = list.children.length + 1;
    const name = el("input", { type: "text", name: `column-${number}`, required: true });
    const isInput = el("input", { type: "checkbox", name: `column-${number}-input`, checked: input });
    list.append(el("div", { class: "toolbar" }, field(`Column ${number}`, name), el("label", { class: "check" }, isInput, "input")));
  };
  addLine(true);
  addLine(false);
  const read = () =>
    [...list.children].map((line) => ({
      name: line.querySelector("input[type=text]").value,
      input: line.querySelector("input[type=checkbox]").checked,
    }));
  const more = el("button", { type: "button", class: "secondary", onclick: () => addLine(false) }, "Another column");
  return { element: el("div", {}, list, more), read };
}

function createForm() {
  const name = el("input", { type: "text", name: "name", required: true });
  const description = el("input", { type: "text", name: "description" });
  const columns = columnEditor();
  return form(
    {},
    async () => {
      const made = await attempt(() =>
        call("POST", "/api/tables", { name: name.value, description: description.value, columns: columns.read() }),
      );
      if (made) location.hash = "#/tables/" + encodeURIComponent(made.name);
    },
    el("div", { class: "toolbar" }, field("Name", name), field("Description", description)),
    columns.element,
    el("div", { class: "toolbar" }, el("button", { type: "submit" }, "Create the table")),
  );
}

export async function showTables() {
  const tables = (await call("GET", "/api/tables")).list;
  const search = el("input", { type: "search", name: "search", placeholder: "name or description" });
  const body = el("tbody");
  const fill = () => {
    const wanted = search.value.toLowerCase();
    body.replaceChildren(
      ...tables
        .filter((table) => `${table.name}\n${table.description}`.toLowerCase().includes(wanted))
        .map((table) =>
          el(
            "tr",
            { "data-table": table.name },
            el("td", {}, tableLink(table.name)),
            el("td", { class: "wide-only" }, table.description),
            el("td", { class: "number" }, table.rows),
            el("td", { class: "wide-only" }, table.lastactionuser),
          ),
        ),
    );
  };
  search.addEventListener("input", fill);
  fill();
  show(
    el("h1", {}, "Tables"),
    el(
      "section",
      { class: "card" },
      el("div", { class: "toolbar" }, field("Search the tables", search)),
      el(
        "div",
        { class: "scroll" },
        el(
          "table",
          { id: "tables" },
          el(
            "thead",
            {},
            el(
              "tr",
              {},
              el("th", { scope: "col" }, "Name"),
              el("th", { scope: "col", class: "wide-only" }, "Description"),
              el("th", { scope: "col" }, "Rows"),
              el("th", { scope: "col", class: "wide-only" }, "Last change by"),
            ),
          ),
          body,
        ),
      ),
    ),
    el("h2", {}, "New table"),
    el("section", { class: "card" }, createForm()),
  );
}
