// The console: signs in, then shows the page the address names.
import { ApiError, apiPath, call, currentSession, signIn, signOut } from "./api.js";
import { attempt, clearReport, el, field, form, report, show } from "./dom.js";
import { showInbox } from "./inbox.js";
import { showTables } from "./tables.js";
import { showTable } from "./table.js";

let session = null;

function showSignIn() {
  document.getElementById("menu").hidden = true;
  document.getElementById("sign-out").hidden = true;
  document.getElementById("who").textContent = "";
  const user = el("input", { type: "text", name: "user", autocomplete: "username", required: true });
  const password = el("input", { type: "password", name: "password", autocomplete: "current-password", required: true });
  const signInForm = form(
    {},
    async () => {
      const opened = await attempt(() => signIn(user.value, password.value));
      if (!opened) return;
      session = opened;
      password.value = "";
      route();
    },
    field("User name", user),
    field("Password", password),
    el("button", { type: "submit" }, "Sign in"),
  );
  show(el("section", { class: "card sign-in" }, el("h1", {}, "Sign in"), signInForm));
  user.focus();
}

function showIdentifiers() {
  const name = el("input", { type: "text", name: "counter", required: true });
  const daily = el("input", { type: "checkbox", name: "daily" });
  const drawn = el("p", { role: "status", id: "drawn" });
  const drawForm = form(
    { class: "inline" },
    async () => {
      const path = apiPath("identifiers", name.value) + (daily.checked ? "?daily=1" : "");
      const answer = await attempt(() => call("POST", path));
      if (answer) drawn.textContent = `${answer.name}: ${answer.number}`;
    },
    field("Counter", name),
    el("label", { class: "check" }, daily, "Daily (starts again each day)"),
    el("button", { type: "submit" }, "Draw the next number"),
  );
  show(el("h1", {}, "Identifiers"), el("section", { class: "card" }, drawForm, drawn));
}

function signedIn(opened) {
  session = opened;
  document.getElementById("menu").hidden = false;
  document.getElementById("who").textContent = session.user;
  document.getElementById("sign-out").hidden = !session.accounts;
}

// The page the address names: #/tables, #/tables/<name>, #/inbox,
// #/identifiers.
async function route() {
  clearReport();
  if (!session) {
    const found = await attempt(currentSession);
    if (found === undefined) return;
    if (!found) return showSignIn();
    signedIn(found);
  } else {
    signedIn(session);
  }
  const [page, ...rest] = location.hash.replace(/^#\/?/, "").split("/");
  try {
    if (page === "tables" && rest.length > 0) await showTable(decodeURIComponent(rest.join("/")));
    else if (page === "inbox") await showInbox(session);
    else if (page === "identifiers") showIdentifiers();
    else await showTables();
  } catch (error) {
    if (error instanceof ApiError && error.status === 401) {
      session = null;
      return showSignIn();
    }
    report(error.message);
  }
  document.getElementById("main").focus();
}

document.getElementById("banner-close").addEventListener("click", clearReport);
document.getElementById("sign-out").addEventListener("click", async () => {
  if ((await attempt(signOut)) === undefined && !document.getElementById("banner").hidden) return;
  session = null;
  location.hash = "#/tables";
  showSignIn();
});
window.addEventListener("hashchange", route);
route();
