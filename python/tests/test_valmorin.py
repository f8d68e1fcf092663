"""The module as scripts use it: methods by name through IDispatch."""

import ctypes
import gc
import os
import threading

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
    with pytest.raises(ValueError):
        v.CorrespondanceListJson("Currencies", "", 2**40, 0)         # beyond a LONG


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
