"""The module as scripts use it: methods by name through IDispatch."""

import ctypes
import gc
import os
import subprocess
import threading
import time

import pytest

import valmorin


def test_calls_of_each_kind(store):
    with valmorin.Valmorin() as v:
        assert v.transadd("Currencies", "EUR", "Euro") == 1          # LONG result
        assert v.translate("Currencies", "EUR") == "Euro"            # BSTR result
        assert v.TRANSLATE("Currencies", "EUR") == "Euro"            # names are found whatever their case
        assert v.TableCreate("me", "Pays", "", "K\u00a8V", "1\u00a80") is None  # no result
        assert v.TableExists("Pays") == 1
        assert v.CorrespondanceListJson("Currencies", "", 0, 0).startswith('{"name":"Currencies"')  # int argument
        assert "translateReverse" in dir(v) and "translate" in dir(v)


def test_null_empty_and_text_outside_the_bmp(store):
    v = valmorin.Valmorin()
    assert v.transadd("Currencies", "\U0001F600", "\U0001D11E clef") == 1
    assert v.translate("Currencies", "\U0001F600") == "\U0001D11E clef"
    assert v.transadd("Currencies", "", "empty") == 1
    assert v.translate("Currencies", None) == "empty"                # None is the NULL BSTR: the empty text
    assert v.translate("Currencies", "absent") == ""


def test_failures_raise_com_error_with_the_error_info(store):
    v = valmorin.Valmorin()
    with pytest.raises(valmorin.ComError) as raised:
        v.translate("Currencies", "it's")                            # refused before any statement
    error = raised.value
    assert error.hresult == 0x80040E14
    assert error.source == "SQLite"
    assert "ValueIn" in error.description
    assert str(error).startswith("0x80040E14 SQLite: ")
    assert error.sqlstate == ""                                      # no store was asked
    with pytest.raises(valmorin.ComError) as created:
        valmorin.Dispatch("No.Such.Class")
    assert created.value.hresult == 0x800401F3                       # CO_E_CLASSSTRING


def test_s_false_is_a_success_and_its_result_comes_back(store):
    v = valmorin.Valmorin()
    v.transadd("Currencies", "EUR", "Euro")
    assert v.transdel("Currencies", "EUR") == 1
    assert v.transdel("Currencies", "EUR") == 0                      # S_FALSE: nothing deleted
    assert v.translateReverse("Currencies", "nothing") == ""         # S_FALSE, the empty text


def test_the_second_interface_by_name(store):
    v = valmorin.Valmorin()
    v.transadd("Currencies", "EUR", "Euro")
    assert v.translateReverse("Currencies", "Euro") == "EUR"
    assert v.translateDefault("Currencies", "USD", "?") == "?"
    assert '"name":"Currencies"' in v.TableListJson()


def test_wrong_calls_are_python_errors(store):
    v = valmorin.Valmorin()
    with pytest.raises(TypeError):
        v.translate("Currencies")                                    # one argument short
    with pytest.raises(TypeError):
        v.translate("Currencies", 3.5)                               # no float goes to the component
    with pytest.raises(AttributeError):
        v.transmogrify
    with pytest.raises(OverflowError):
        v.CorrespondanceListJson("Currencies", "", 2**40, 0)         # beyond a LONG
    with pytest.raises(OverflowError):
        v.CorrespondanceListJson("Currencies", "", 2**70, 0)         # beyond a long long too
    with pytest.raises(ValueError):
        v.translate("Currencies", "EUR\0tail")                      # a NUL would cut the text short
    with pytest.raises(UnicodeError):
        v.translate("Currencies", "\ud800")                          # a lone surrogate has no UTF-16


def test_objects_are_released_when_python_drops_them(store):
    library = ctypes.CDLL(os.environ["VALMORIN_LIBRARY"])            # the library the runtime loaded
    gc.collect()
    assert library.DllCanUnloadNow() == 0                            # S_OK: no object alive
    v = valmorin.Valmorin()
    assert library.DllCanUnloadNow() == 1                            # S_FALSE
    del v
    gc.collect()
    assert library.DllCanUnloadNow() == 0
    with valmorin.Valmorin() as kept:
        assert library.DllCanUnloadNow() == 1
    assert library.DllCanUnloadNow() == 0                            # released at the end of the block
    with pytest.raises(ValueError):
        kept.translate("Currencies", "EUR")


def test_threads_call_at_once_and_each_gets_its_own_answers(store):
    v = valmorin.Valmorin()
    for i in range(50):
        v.transadd("Currencies", f"K{i}", f"V{i}")
    wrong = []

    def lookups(offset):
        own = valmorin.Valmorin()
        for n in range(400):
            i = (n + offset) % 50
            if own.translate("Currencies", f"K{i}") != f"V{i}":
                wrong.append(i)

    threads = [threading.Thread(target=lookups, args=(t * 7,)) for t in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert wrong == []


def test_a_forked_child_neither_calls_nor_releases_the_parents_objects(store):
    """Faults caught: a child that calls through the parent's object (and
    hangs on a lock another thread held at the fork, or talks over the
    parent's session); a child that releases it (closing the parent's
    session on its way out)."""
    v = valmorin.Valmorin()
    assert v.transadd("Currencies", "FORK", "before") == 1
    read, write = os.pipe()
    child = os.fork()
    if child == 0:
        os.close(read)
        try:
            v.translate("Currencies", "FORK")
            verdict = b"called"
        except RuntimeError as refused:
            verdict = b"refused" if "another process" in str(refused) else b"other"
        del v
        gc.collect()
        os.write(write, verdict)
        os._exit(0)
    os.close(write)
    with os.fdopen(read, "rb") as answer:
        assert answer.read() == b"refused"
    os.waitpid(child, 0)
    assert v.translate("Currencies", "FORK") == "before"            # the parent's session is intact


def test_a_call_waiting_on_the_store_lets_other_threads_run(store):
    """Fault caught: the GIL kept during a component call, so that every
    other thread of the interpreter stalls while one call waits."""
    from conftest import STORE
    holder = subprocess.Popen(["sqlite3", STORE], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        holder.stdin.write("BEGIN IMMEDIATE;\n.print held\n")
        holder.stdin.flush()
        assert holder.stdout.readline().strip() == "held"
        v = valmorin.Valmorin()
        waiting = threading.Thread(target=lambda: v.transadd("Currencies", "GIL", "x"))
        waiting.start()
        ticks = 0
        for _ in range(20):                                          # runs only while the GIL is free
            time.sleep(0.01)
            ticks += 1
        assert waiting.is_alive(), "the call ended before the lock was released"
        assert ticks == 20
    finally:
        holder.stdin.write("ROLLBACK;\n")
        holder.stdin.close()
        holder.wait(timeout=30)
    waiting.join(timeout=60)
    assert v.translate("Currencies", "GIL") == "x"


def test_connection_strings_are_built_as_the_platform_builds_them():
    """Faults caught: the pairs' order lost on the way from the dict, a
    value that needs braces written bare, a key no text can hold accepted."""
    assert valmorin.connection_string({"Provider": "SQLite", "Data Source": "/a;b=c.db", "Busy Timeout": "0"}) == \
        "Provider=SQLite;Data Source={/a;b=c.db};Busy Timeout=0"
    with pytest.raises(ValueError):
        valmorin.connection_string({"Data;Source": "/x.db"})
