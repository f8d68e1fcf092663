"""The tests' own world: a registry, data folders and a store in a
temporary folder, the component registered there from the built library,
and the store made the data source NK, which new objects connect to.
Set up before the module is imported, so that it reads only this world."""

import atexit
import os
import shutil
import subprocess
import tempfile

import pytest

_ROOT = tempfile.mkdtemp(prefix="valmorin-python-")
atexit.register(shutil.rmtree, _ROOT, ignore_errors=True)
for name, folder in (("PELKOR_REGISTRY_DIR", "registry"), ("PELKOR_ROOT", "root"),
                     ("XDG_CONFIG_HOME", "config"), ("XDG_DATA_HOME", "data")):
    os.environ[name] = os.path.join(_ROOT, folder)
    os.makedirs(os.environ[name], exist_ok=True)

import valmorin  # noqa: E402  (once the world above is in place)

CLI = os.environ["VALMORIN_CLI"]
LIBRARY = os.environ["VALMORIN_LIBRARY"]
STORE = os.path.join(_ROOT, "store.db")
CONNECTION = valmorin.connection_string({"Provider": "SQLite", "Data Source": STORE})


def valmorin_command(*args):
    return subprocess.run([CLI, *args], check=True, capture_output=True, text=True).stdout


valmorin_command("regsvr", "/s", LIBRARY)
valmorin_command("init", "--connection", CONNECTION)
valmorin_command("datasource", "set", "NK", CONNECTION)


@pytest.fixture
def store():
    """The store, emptied of correspondences and tables."""
    subprocess.run([CLI, "--connection", CONNECTION, "--batch"], check=True, capture_output=True, text=True,
                   input="".join(f"TableDelete\t{name}\n" for name in ("Currencies", "Pays", "Other")))
    return CONNECTION
