"""Guards against a whole-program test leaving processes, namespaces or displays behind, or failing without saying where its files are."""
import os
import shutil
import sys
from types import SimpleNamespace

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kvtest  # noqa: E402


def pytest_addoption(parser):
    parser.addoption("--binary", required=True, help="the kestrelvox program")
    parser.addoption("--build-dir", required=True)
    parser.addoption("--source-dir", required=True)
    parser.addoption("--keep", action="store_true", help="keep the working directory")


@pytest.fixture(scope="session")
def kv(request):
    opt = request.config.getoption
    paths = SimpleNamespace(binary=os.path.abspath(opt("--binary")),
                            build_dir=os.path.abspath(opt("--build-dir")),
                            source_dir=os.path.abspath(opt("--source-dir")))
    assert os.geteuid() == 0, "whole-program tests need root (network namespaces)"
    assert os.access(paths.binary, os.X_OK), f"program not found: {paths.binary}"
    return paths


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    run = getattr(item, "kv_run", None)
    if report.failed and run is not None:
        item.kv_failed = True
        text = [c.describe() for c in run.copies] + [f"files kept in {run.workdir}"]
        report.sections.append(("kestrelvox run", "\n".join(text)))


@pytest.fixture
def run(kv, request):
    """Everything one test creates, torn down in reverse order even on failure or timeout."""
    r = kvtest.Run(kv.binary, kv.build_dir, kv.source_dir, request.node.name)
    request.node.kv_run = r
    yield r
    for problem in r.close():
        print(f"teardown: {problem}")
    if getattr(request.node, "kv_failed", False) or request.config.getoption("--keep"):
        print(f"files kept in {r.workdir}")
    else:
        shutil.rmtree(r.workdir, ignore_errors=True)


@pytest.fixture
def display(run):
    return run.display()


@pytest.fixture
def display_a11y(run):
    return run.display(accessibility=True)


@pytest.fixture
def sound(run):
    return run.sound()


@pytest.fixture
def net2(run):
    return run.network("a", "b")
