"""The instruments are importable from analysis/; the module is looked up in
ASRC_PYTHON_DIR (default build/python), and tests that need it are skipped
only when that directory holds no module at all.  The runner of the field's
libraries is ASRC_PEER_RUN (default build/asrc-peer-run); it is optional,
so tests that need it are skipped where it is not built."""

import glob
import importlib
import os
import sys

import pytest

ANALYSIS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
REPO = os.path.dirname(ANALYSIS)
sys.path.insert(0, ANALYSIS)


@pytest.fixture(scope="session")
def asrc():
    d = os.path.abspath(os.environ.get("ASRC_PYTHON_DIR", os.path.join(REPO, "build", "python")))
    if not glob.glob(os.path.join(d, "asrc*.so")) + glob.glob(os.path.join(d, "asrc*.pyd")):
        pytest.skip(f"no asrc module in {d} (build with -DASRC_PYTHON=ON)")
    sys.path.insert(0, d)
    # A module that is there but does not import is a failure, not a skip.
    return importlib.import_module("asrc")


@pytest.fixture(scope="session")
def published():
    import json
    with open(os.path.join(REPO, "docs", "quality.json")) as f:
        return json.load(f)


@pytest.fixture(scope="session")
def runner_path():
    p = os.environ.get("ASRC_PEER_RUN", os.path.join(REPO, "build", "asrc-peer-run"))
    if not os.path.isfile(p):
        pytest.skip(f"no asrc-peer-run at {p} (built beside asrc with the tests or benchmarks)")
    return p


@pytest.fixture(scope="session")
def runner(runner_path):
    import runner as run
    # A runner that is there but cannot list its settings is a failure, not a skip.
    return run.Runner(runner_path)
