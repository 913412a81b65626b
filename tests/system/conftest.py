"""Guards against a whole-program test leaving processes, namespaces or displays behind, or failing without saying where its files are."""
import os
import shutil
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kvtest  # noqa: E402
import kvtest_directory  # noqa: E402


def pytest_addoption(parser):
    for option in ("--binary", "--build-dir", "--source-dir"):  # the program, its build and its source
        parser.addoption(option, required=True)
    parser.addoption("--keep", action="store_true", help="keep the working directory")


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    report = (yield).get_result()
    if report.failed and hasattr(item, "kv_run"):
        item.kv_failed = True
        report.sections.append(("kestrelvox run", f"files kept in {item.kv_run.workdir}"))


@pytest.fixture
def run(request):
    """Everything one test creates, torn down in reverse order even on failure or timeout."""
    assert os.geteuid() == 0, "whole-program tests need root (network namespaces)"
    binary, build, source = (os.path.abspath(request.config.getoption(o)) for o in ("--binary", "--build-dir",
                                                                                     "--source-dir"))
    assert os.access(binary, os.X_OK), f"program not found: {binary}"
    r = kvtest.Run(binary, build, source, request.node.name)
    request.node.kv_run = r
    yield r
    for problem in r.close():
        print(f"teardown: {problem}")
    if not (getattr(request.node, "kv_failed", False) or request.config.getoption("--keep")):
        shutil.rmtree(r.workdir, ignore_errors=True)


@pytest.fixture
def display(run):  # Xvfb, openbox and a session bus; copies start on it
    return run.display()


@pytest.fixture
def net2(run):
    return run.network("a", "b")


@pytest.fixture
def directory_server(run):
    return lambda host, name="server": kvtest_directory.DirectoryServer(run, host, name)


@pytest.fixture
def socks_proxy(run):
    return lambda host, refuse=None, name="proxy": kvtest_directory.Dante(run, host, refuse, name)

