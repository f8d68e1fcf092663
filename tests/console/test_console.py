"""The administration console in a real browser (headless Chromium driven by
Selenium) against valmorin serve: what a person maintaining tables does,
from signing in to signing out."""

import json
import os
import random
import re
import time
import urllib.parse

import pytest
from selenium.common.exceptions import NoAlertPresentException
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support import expected_conditions as seen
from selenium.webdriver.support.ui import WebDriverWait

from conftest import PASSWORDS, ROOT

WAIT = 15


def wait(driver):
    return WebDriverWait(driver, WAIT)


def find(driver, css):
    return wait(driver).until(seen.visibility_of_element_located((By.CSS_SELECTOR, css)))


def wait_text(driver, css, text):
    wait(driver).until(seen.text_to_be_present_in_element((By.CSS_SELECTOR, css), text))


def banner(driver):
    find(driver, "#banner")
    return driver.find_element(By.ID, "banner-text").text


def sign_in(driver, server, user):
    """Signs in with the keyboard alone, as a person without a mouse does
    (signing out first when the browser is signed in already)."""
    driver.get(server.url + "/#/tables")
    driver.refresh()
    wait(driver).until(lambda d: d.find_elements(By.CSS_SELECTOR, "input[name=user], #tables"))
    if driver.find_elements(By.ID, "tables"):
        driver.find_element(By.ID, "sign-out").click()
    find(driver, "input[name=user]").send_keys(user)
    driver.find_element(By.CSS_SELECTOR, "input[name=password]").send_keys(PASSWORDS[user], Keys.ENTER)
    wait_text(driver, "#who", user)
    find(driver, "#tables")


def open_table(driver, server, name):
    driver.get(server.url + "/#/tables/" + urllib.parse.quote(name, safe=""))
    driver.refresh()
    wait_text(driver, "h1", name)
    find(driver, "#rows")


def row(driver, input_value):
    return find(driver, f'#rows tr[data-input="{input_value}"]')


def create_table(driver, server, name, columns):
    driver.get(server.url + "/#/tables")
    driver.refresh()
    find(driver, "input[name=name]").send_keys(name)
    for number, (column, _) in enumerate(columns, start=1):
        if number > 2:
            driver.find_element(By.XPATH, "//button[text()='Another column']").click()
        driver.find_element(By.CSS_SELECTOR, f"input[name=column-{number}]").send_keys(column)
    driver.find_element(By.XPATH, "//button[text()='Create the table']").click()
    wait_text(driver, "h1", name)


def add_row(driver, input_value, output_value):
    find(driver, "input[name=new-input]").send_keys(input_value)
    driver.find_element(By.CSS_SELECTOR, "input[name=new-output]").send_keys(output_value, Keys.ENTER)
    row(driver, input_value)


# Faults caught: a sign-in that does not open a session; a create, add,
# edit, search, page or delete that the page shows but the store does not
# hold (or the reverse); a deletion made without asking.
def test_a_table_is_managed_end_to_end(server, browsers, screenshot):
    alice = browsers("alice")
    alice.get(server.url + "/")
    find(alice, "input[name=user]")
    screenshot(alice, "01-sign-in")
    sign_in(alice, server, "alice")
    create_table(alice, server, "Pays", [("code", True), ("nom", False)])
    add_row(alice, "FR", "France")
    add_row(alice, "DE", "Allemagne")
    assert server.request("GET", "/api/translate/Pays/FR")[2] == b'{"output":"France"}'
    find(alice, "input[name=new-input]").send_keys("FR")
    alice.find_element(By.CSS_SELECTOR, "input[name=new-output]").send_keys("again", Keys.ENTER)
    assert 'the INPUT "FR" is there already' in banner(alice)

    row(alice, "FR").find_element(By.XPATH, ".//button[text()='Edit']").click()
    edit = find(alice, "#rows input[name=output]")
    edit.clear()
    edit.send_keys("République française", Keys.ENTER)
    wait_text(alice, '#rows tr[data-input="FR"] td.output', "République française")
    assert json.loads(server.request("GET", "/api/translate/Pays/FR")[2]) == {"output": "République française"}

    rows = "".join(f"P{i:03},pays {i}\r\n" for i in range(150)).encode()
    assert server.request("PUT", "/api/tables/Pays/csv", b"code,nom\r\n" + rows)[0] == 200
    open_table(alice, server, "Pays")
    wait_text(alice, "#page-range", "Rows 1–100 of 152")
    alice.find_element(By.XPATH, "//button[text()='Next']").click()
    wait_text(alice, "#page-range", "Rows 101–152 of 152")
    screenshot(alice, "02-table", "#page-range")

    find(alice, "input[name=contains]").send_keys("fran", Keys.ENTER)
    wait_text(alice, "#page-range", "Rows 1–1 of 1")
    assert [r.get_attribute("data-input") for r in alice.find_elements(By.CSS_SELECTOR, "#rows tbody tr")] == ["FR"]

    search = find(alice, "input[name=contains]")
    search.clear()
    search.send_keys("Allemagne", Keys.ENTER)
    wait_text(alice, "#page-range", "Rows 1–1 of 1")
    row(alice, "DE").find_element(By.XPATH, ".//button[text()='Delete']").click()
    find(alice, "#ask")
    screenshot(alice, "03-delete-asked")
    alice.find_element(By.ID, "ask-cancel").click()
    assert server.request("GET", "/api/translate/Pays/DE")[0] == 200, "cancelled, yet deleted"
    row(alice, "DE").find_element(By.XPATH, ".//button[text()='Delete']").click()
    find(alice, "#ask-ok").click()
    wait_text(alice, "#page-range", "No rows")
    assert server.request("GET", "/api/translate/Pays/DE")[0] == 404


# Faults caught: a preview that differs from what the change then stores;
# a change applied before it is confirmed.
def test_a_change_of_columns_is_previewed_before_it_is_made(server, browsers, screenshot):
    alice = browsers("alice")
    sign_in(alice, server, "alice")
    create_table(alice, server, "Capitals", [("country", True), ("city", False)])
    add_row(alice, "FR", "Paris")
    find(alice, "input[name=new-column]").send_keys("river", Keys.ENTER)
    wait_text(alice, "#column-preview", "Paris|")
    screenshot(alice, "04-column-preview", "#column-preview")
    assert len(json.loads(server.request("GET", "/api/tables/Capitals")[2])["columns"]) == 2, "made before Apply"
    alice.find_element(By.ID, "apply-columns").click()
    find(alice, "#columns input[value=river]")
    assert json.loads(server.request("GET", "/api/translate/Capitals/FR")[2]) == {"output": "Paris|"}

    city = find(alice, "#columns input[value=city]").find_element(By.XPATH, "./ancestor::tr")
    city.find_element(By.XPATH, ".//button[text()='Delete…']").click()
    wait_text(alice, "#column-preview", "FR")
    after = [cell.text for cell in alice.find_elements(By.CSS_SELECTOR, "#column-preview tbody td")]
    alice.find_element(By.ID, "apply-columns").click()
    wait(alice).until(lambda d: not d.find_elements(By.CSS_SELECTOR, "#columns input[value=city]"))
    stored = json.loads(server.request("GET", "/api/tables/Capitals/rows")[2])["list"][0]
    assert after == ["FR", "Paris|", stored["input"], stored["output"]]


def open_inbox(driver, server):
    driver.get(server.url + "/#/inbox")
    driver.refresh()
    wait_text(driver, "h1", "Inbox")
    wait(driver).until(lambda d: d.find_elements(By.CSS_SELECTOR, "#inbox, #inbox-empty"))


def approve_all(driver, server):
    """Approves every change set the inbox shows, one after the other."""
    open_inbox(driver, server)
    while driver.find_elements(By.CSS_SELECTOR, "#inbox [data-changeset]"):
        driver.find_element(By.XPATH, "//section[@data-changeset]//button[text()='Approve']").click()
        assert "applied as revision" in wait(driver).until(lambda d: banner(d) if "applied" in banner(d) else False)
    find(driver, "#inbox-empty")


# Needs the component's change sets. Faults caught: a change to a table
# that needs approval written at once instead of proposed; the console
# offering the proposer the approval of their own change set, or the
# server accepting it; an inbox that does not show what a change replaces,
# or keeps a change set once it is approved; a history without its user
# and approver; a revert that does not restore the answer.
def test_alice_proposes_bob_approves_and_a_revert_restores(server, browsers, screenshot):
    alice, bob = browsers("alice"), browsers("bob")
    sign_in(alice, server, "alice")
    create_table(alice, server, "Rates", [("code", True), ("rate", False)])
    add_row(alice, "EUR", "1.00")
    find(alice, "#approval").find_element(By.XPATH, ".//button[text()='Require approval']").click()
    wait_text(alice, "#approval-state", "need another user's approval")
    row(alice, "EUR").find_element(By.XPATH, ".//button[text()='Edit']").click()
    edit = find(alice, "#rows input[name=output]")
    edit.clear()
    edit.send_keys("1.10", Keys.ENTER)
    assert "awaits another user's approval" in wait(alice).until(lambda d: banner(d) if "Proposed" in banner(d) else False)
    assert json.loads(server.request("GET", "/api/translate/Rates/EUR")[2]) == {"output": "1.00"}, "applied at once"

    open_inbox(alice, server)
    mine = find(alice, "#inbox [data-changeset]")
    assert not mine.find_elements(By.XPATH, ".//button[text()='Approve']")
    refused = server.request("POST", "/api/changesets/" + mine.get_attribute("data-changeset") + "/approve", user="alice")
    assert refused[0] == 403

    sign_in(bob, server, "bob")
    open_inbox(bob, server)
    diff = find(bob, "#inbox [data-changeset] table.diff tbody tr")
    assert [cell.text for cell in diff.find_elements(By.TAG_NAME, "td")] == ["put", "EUR", "1.00", "1.10"]
    screenshot(bob, "05-inbox", "#inbox")
    approve_all(bob, server)
    assert json.loads(server.request("GET", "/api/translate/Rates/EUR")[2]) == {"output": "1.10"}

    open_table(bob, server, "Rates")
    row(bob, "EUR").find_element(By.XPATH, ".//button[text()='History']").click()
    latest = find(bob, "#row-history tbody tr")
    assert [cell.text for cell in latest.find_elements(By.TAG_NAME, "td")][2:5] == ["alice", "bob", "EUR: 1.00 → 1.10"]
    screenshot(bob, "05-row-history", "#row-history")
    latest.find_element(By.XPATH, ".//button[text()='Revert']").click()
    assert "proposed as change set" in wait(bob).until(lambda d: banner(d) if "revert" in banner(d) else False)

    approve_all(alice, server)
    assert json.loads(server.request("GET", "/api/translate/Rates/EUR")[2]) == {"output": "1.00"}, "not restored"


# Faults caught: an import that loses, adds or alters rows; an export that
# differs from what was imported; a preview that forecasts another result.
def test_csv_import_then_export_gives_the_same_bytes(server, browsers, screenshot):
    alice = browsers("alice")
    sign_in(alice, server, "alice")
    create_table(alice, server, "Codes", [("code", True), ("label", False)])
    source = os.path.join(ROOT, "codes.csv")
    lines = ["code,label"] + [f"K{i:04},\"label, number {i}\"" for i in range(1000)]
    with open(source, "wb") as out:
        out.write(("\r\n".join(lines) + "\r\n").encode())
    find(alice, "input[name=csv]").send_keys(source)
    alice.find_element(By.XPATH, "//button[text()='Preview']").click()
    wait_text(alice, "#import-forecast", "1000 read, 1000 added, 0 changed, 0 unchanged, 0 deleted")
    screenshot(alice, "06-csv-preview", "#csv-preview")
    alice.find_element(By.ID, "import").click()
    assert "1000 read, 1000 added" in wait(alice).until(lambda d: banner(d) if "Imported" in banner(d) else False)
    wait_text(alice, "#page-range", "of 1000")

    for name in os.listdir(alice.downloads):
        os.remove(os.path.join(alice.downloads, name))
    find(alice, "#export").click()
    target = os.path.join(alice.downloads, "Codes.csv")
    deadline = time.monotonic() + WAIT
    while not os.path.exists(target) and time.monotonic() < deadline:
        time.sleep(0.1)
    with open(source, "rb") as imported, open(target, "rb") as exported:
        assert exported.read() == imported.read()


# Faults caught: a stored text inserted as markup (the name's image would
# load and its handler run); a page without its Content-Security-Policy
# or framing refusal.
def test_a_hostile_name_is_shown_as_text_and_runs_nothing(server, browsers, screenshot):
    hostile = "<img src=x onerror=alert(1)>"
    alice = browsers("alice")
    sign_in(alice, server, "alice")
    create_table(alice, server, hostile, [("k", True), ("v", False)])
    add_row(alice, "<script>alert(2)</script>", "\"quoted\" & 'single'")
    alice.get(server.url + "/#/tables")
    alice.refresh()
    find(alice, "#tables tbody a")
    assert hostile in [link.text for link in alice.find_elements(By.CSS_SELECTOR, "#tables tbody a")]
    screenshot(alice, "07-hostile-name")
    assert not alice.find_elements(By.CSS_SELECTOR, "main img, main script")
    with pytest.raises(NoAlertPresentException):
        alice.switch_to.alert.text  # noqa: B018 (asking is the test)
    open_table(alice, server, hostile)
    assert find(alice, "h1").text == hostile
    assert row(alice, "<script>alert(2)</script>").text.startswith("<script>alert(2)</script>")

    status, headers, _ = server.request("GET", "/", basic=False)
    assert status == 200
    assert "script-src 'self'" in headers["Content-Security-Policy"]
    assert "unsafe-inline" not in headers["Content-Security-Policy"]
    assert headers["X-Frame-Options"] == "DENY"


# Faults caught: a layout that needs a wide screen; controls without a
# label a screen reader can name.
def test_a_narrow_window_and_labelled_controls(server, browsers, screenshot):
    alice = browsers("alice")
    sign_in(alice, server, "alice")
    try:
        alice.set_window_size(390, 844)
        create_table(alice, server, "Narrow", [("code", True), ("label", False)])
        add_row(alice, "A", "a label long enough to need the width of a narrow window")
        screenshot(alice, "08-narrow")
        overflow = alice.execute_script("return document.documentElement.scrollWidth - window.innerWidth")
        assert overflow <= 0
    finally:
        alice.set_window_size(1280, 800)
    unnamed = alice.execute_script("""
        return [...document.querySelectorAll('input, select, button')]
          .filter((c) => !(c.labels && c.labels.length) && !c.getAttribute('aria-label') && !c.textContent.trim())
          .map((c) => c.outerHTML);""")
    assert unnamed == []


# Faults caught: a console page that makes the browser log a failed load
# (the icon it asks for when the page names none, a module or a style
# sheet the server does not serve); an icon served as a type that the
# browser, told nosniff, does not draw.
def test_the_console_loads_without_a_failed_request(server, browsers):
    # A first visit, in a browser of its own: no icon cached, nobody signed in.
    visitor = browsers("visitor")
    # Read through a file of its own: the server writes at the offset of the
    # one it was given.
    with open(server.log.name, "rb") as log:
        log.seek(0, os.SEEK_END)
        visitor.get(server.url + "/")
        find(visitor, "input[name=user]")
        # The icon is asked for once the page has loaded, whatever its answer.
        deadline = time.monotonic() + WAIT
        logged = b""
        while not re.search(rb"GET /favicon\.\w+ ", logged) and time.monotonic() < deadline:
            logged += log.read()
            time.sleep(0.1)
    asked = re.search(rb"GET (/favicon\.\w+) ", logged)
    assert asked, "the browser asked for no icon"
    # The API's refusals (401 before signing in) are the page's to handle.
    failed = [entry["message"] for entry in visitor.get_log("browser")
              if entry["source"] == "network" and "/api/" not in entry["message"]]
    assert failed == []
    status, headers, _ = server.request("GET", asked.group(1).decode(), basic=False)
    assert (status, headers["Content-Type"]) == (200, "image/svg+xml")


# Faults caught: a counter drawn twice or not at all; a sign-out that only
# forgets the cookie in the browser, leaving the session usable on the
# server.
def test_identifiers_then_sign_out_ends_the_session_on_the_server(server, browsers, screenshot):
    alice = browsers("alice")
    sign_in(alice, server, "alice")
    alice.find_element(By.LINK_TEXT, "Identifiers").click()
    find(alice, "input[name=counter]").send_keys("Invoices", Keys.ENTER)
    wait_text(alice, "#drawn", "Invoices: 1")
    alice.find_element(By.XPATH, "//button[text()='Draw the next number']").click()
    wait_text(alice, "#drawn", "Invoices: 2")
    screenshot(alice, "09-identifiers")
    cookie = alice.get_cookie("valmorin_session")
    assert cookie and cookie["httpOnly"] and cookie["sameSite"] == "Strict"
    alice.find_element(By.ID, "sign-out").click()
    find(alice, "input[name=user]")
    status, _, _ = server.request("GET", "/api/tables", basic=False,
                                  headers={"Cookie": "valmorin_session=" + cookie["value"]})
    assert status == 401


def run_module(driver, call, *arguments):
    """Runs `call` (a function of the module values.js and the arguments)
    in the console's page, as the console runs it; its result."""
    return driver.execute_async_script(
        "const done = arguments[arguments.length - 1];"
        "import('/values.js').then((values) => done((" + call + ")(values, ...[...arguments].slice(0, -1))));",
        *arguments)


def rows_of(server, name):
    listing = json.loads(server.request("GET", "/api/tables/" + urllib.parse.quote(name) + "/rows?limit=0")[2])
    return sorted((row["input"], row["output"]) for row in listing["list"])


# Differential: the previews the console shows (how a change of columns
# rewrites the stored values, what an import will report) computed by
# values.js in the browser, against what the component then stores and
# reports, over random tables, values and changes. Faults caught: a preview
# that shows anything but what the change makes.
def test_the_previews_show_what_the_component_then_does(server, browsers):
    alice = browsers("alice")
    sign_in(alice, server, "alice")
    rng = random.Random(int(os.environ.get("VALMORIN_PROPERTY_SEED", "20261207")))
    pieces = ["", "a", "b", "x y", "é", "|", "||"]

    def text(choices):
        return "".join(rng.choice(choices) for _ in range(rng.randint(0, 4)))

    compared = 0
    for case in range(30):
        name = f"Columns{case}"
        columns = [{"name": f"i{n}", "input": True} for n in range(rng.randint(1, 2))]
        columns += [{"name": f"o{n}", "input": False} for n in range(rng.randint(1, 3))]
        rng.shuffle(columns)
        assert server.request("POST", "/api/tables", {"name": name, "columns": columns})[0] == 201
        for number in range(6):
            server.request("POST", f"/api/tables/{name}/rows", {"input": f"k{number}" + text(pieces), "output": text(pieces)})
        table = json.loads(server.request("GET", f"/api/tables/{name}")[2])
        deleted = [column["id"] for column in table["columns"] if rng.random() < 0.3]
        added = [{"name": f"n{n}", "input": rng.random() < 0.3} for n in range(rng.randint(0 if deleted else 1, 2))]
        before = [{"input": i, "output": o} for i, o in rows_of(server, name)]
        preview = run_module(alice, "(v, columns, deleted, added, rows) => rows.map((row) =>"
                                    " v.rewriteRow(row, v.columnChange(columns, deleted, added)))",
                             table["columns"], deleted, added, before)
        status, _, body = server.request("PATCH", f"/api/tables/{name}", {"delete": deleted, "add": added})
        if status != 200:  # refused whole (two rows rewritten to one INPUT): nothing to compare
            assert status in (400, 409), body
            continue
        compared += 1
        assert rows_of(server, name) == sorted((row["input"], row["output"]) for row in preview), (columns, deleted, added)
    assert compared >= 15

    plain = ["", "a", "b", "x y", "é"]
    for case in range(20):
        name = f"Imports{case}"
        outputs = rng.randint(1, 2)
        header = ["k"] + [f"o{n}" for n in range(outputs)]
        columns = [{"name": "k", "input": True}] + [{"name": column, "input": False} for column in header[1:]]
        assert server.request("POST", "/api/tables", {"name": name, "columns": columns})[0] == 201
        for key in rng.sample(range(12), 6):
            output = "|".join(text(plain) for _ in range(outputs))
            server.request("POST", f"/api/tables/{name}/rows", {"input": f"k{key}", "output": output})
        order = header[:]
        rng.shuffle(order)
        records = [[f"k{key}" if column == "k" else rng.choice(["a", "b", ""]) for column in order]
                   for key in rng.sample(range(12), 7)]
        replace = rng.random() < 0.5
        stored = [{"input": i, "output": o} for i, o in rows_of(server, name)]
        table = json.loads(server.request("GET", f"/api/tables/{name}")[2])
        forecast = run_module(alice, "(v, stored, header, records, columns, replace) => v.importReport(stored,"
                                     " records.map((record) => v.storedRow(header, record, columns)), replace)",
                              stored, order, records, table["columns"], replace)
        csv = ("\r\n".join(",".join(f'"{value}"' for value in line) for line in [order] + records) + "\r\n").encode()
        status, _, body = server.request("PUT", f"/api/tables/{name}/csv?mode=" + ("replace" if replace else "merge"), csv)
        assert status == 200, body
        report = json.loads(body)
        assert {key: report[key] for key in forecast} == forecast, (stored, order, records, replace)
