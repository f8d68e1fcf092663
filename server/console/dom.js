// Building pages: every stored text goes in as a text node, never as markup.

// An element with attributes ("on..." keys are listeners) and children
// (strings become text nodes; null and false are skipped).
export function el(tag, attributes = {}, ...children) {
  const element = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes)) {
    if (value === null || value === undefined || value === false) continue;
    if (name.startsWith("on")) element.addEventListener(name.slice(2), value);
    else if (value === true) element.setAttribute(name, "");
    else element.setAttribute(name, String(value));
  }
  append(element, children);
  return element;
}

function append(element, children) {
  for (const child of children.flat()) {
    if (child === null || child === undefined || child === false) continue;
    element.append(child instanceof Node ? child : document.createTextNode(String(child)));
  }
}

// A form whose submission (a button, or Enter in a field) runs action
// instead of loading a page.
export function form(attributes, action, ...children) {
  const onsubmit = (event) => {
    event.preventDefault();
    action();
  };
  return el("form", { ...attributes, onsubmit }, ...children);
}

// A labelled field: the label wraps the control, so it names it.
export function field(text, control) {
  return el("label", {}, text, control);
}

export function show(...children) {
  const main = document.getElementById("main");
  main.replaceChildren();
  append(main, children);
}

// One banner for the page: the latest failure (or a success note).
export function report(message, ok = false) {
  const banner = document.getElementById("banner");
  document.getElementById("banner-text").textContent = message;
  banner.classList.toggle("ok", ok);
  banner.hidden = false;
}

export function clearReport() {
  document.getElementById("banner").hidden = true;
}

// Asks before something that cannot be undone; true when confirmed.
export function ask(question, action = "Delete") {
  const dialog = document.getElementById("ask");
  document.getElementById("ask-text").textContent = question;
  document.getElementById("ask-ok").textContent = action;
  return new Promise((resolve) => {
    dialog.addEventListener("close", () => resolve(dialog.returnValue === "ok"), { once: true });
    dialog.showModal();
    document.getElementById("ask-cancel").focus();
  });
}

// Runs an action, showing its failure in the banner; its result, or
// undefined when it failed.
export async function attempt(action) {
  try {
    clearReport();
    return await action();
  } catch (error) {
    report(error.message || String(error));
    return undefined;
  }
}
