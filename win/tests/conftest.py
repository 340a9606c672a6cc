"""The Wine checks' fixtures and markers, and how CTest runs them.

A scenario is one pytest function in window_checks.py, saver_checks.py,
release_checks.py, guardian_checks.py or runner_checks.py. It asks for what
it needs:

    wine     opens a run under Wine: wine(arch, "640x480x24") gives a Session
             (wine/session.py) on a screen of that size and depth;
             wine(arch, "640x480x24", "320x240x24") two Xinerama heads;
             wine(arch, "1280x1024x24", kind="desktop") a prefix of that kind;
             wine(arch, "960x480x24", heads="640x480+0+0,320x240+640+0")
             monitors side by side on one X screen (64-bit programs only:
             the stand-in libXinerama is the host's).
             A run is shared by the scenarios of one pytest session that ask
             for the same; what a scenario started ends with the scenario.
    arch     "win64" or "win32": every scenario that takes it runs for both
             builds, unless it is parametrized over arch itself.
    emulated whether this arch's programs run under qemu here
    exe, scr, probe, frame_tool, zip_file, ...   the files the options name

Markers:
    e2e, soak                 CTest labels (a soak costs more: CTest starts it first)
    ctest_timeout(SECONDS)    CTest's timeout, 600 s without it
    not_under_qemu(REASON)    left out where 32-bit programs run under qemu, for
                              the 32-bit build: on a scenario or on one
                              pytest.param of it

CTest runs each scenario as a test of its own: add_wine_checks
(cmake/wine_checks.cmake) collects them when CMake configures, with
--ctest-list, and names each after its function and parameters:
test_e2e[win32-depth16] is e2e_win32_depth16. A run where every selected
scenario was left out exits with 77, CTest's skip. ctest -N -V -R NAME shows
the command that runs one; several in one pytest session share their runs:

    pytest-3 -s window_checks.py saver_checks.py -k depth24 --arch win64 \
        --exe ../../build/win64/win/mandelbrot.exe --scr ../../build/win64/win/saver/mandelbrot.scr \
        --probe ../../build/win64/win/tests/window-probe.exe --frame-tool ../../build/host/tools/mandelbrot-frames"""
import os

import pytest

from wine import Skip, qemu
from wine.session import Session

ARCHS = ("win64", "win32")
LABELS = ("e2e", "soak")
DEFAULT_TIMEOUT = 600


def pytest_addoption(parser):
    group = parser.getgroup("Wine checks")
    group.addoption("--arch", choices=ARCHS, help="the build whose programs are checked: only its scenarios run")
    group.addoption("--exe", help="the build's mandelbrot.exe")
    group.addoption("--scr", help="the build's mandelbrot.scr")
    group.addoption("--probe", help="the 64-bit build's window-probe.exe")
    group.addoption("--frame-tool", help="the host build's frame tool")
    group.addoption("--heads-library", help="the host build's stand-in libXinerama.so.1")
    group.addoption("--zip", help="the release zip")
    group.addoption("--exe64", help="the 64-bit build's mandelbrot.exe (the release's)")
    group.addoption("--scr64", help="the 64-bit build's mandelbrot.scr (the release's)")
    group.addoption("--source-date-epoch", type=int, help="the link time the release's files must carry")
    group.addoption("--ctest-list", help="writes the collected scenarios to this file as CMake calls "
                                         "of add_wine_scenario(NAME NODE LABELS TIMEOUT)")


def pytest_configure(config):
    for line in ("e2e: an end-to-end run (CTest label)", "soak: a long run (CTest label)",
                 "ctest_timeout(seconds): CTest's timeout for the scenario",
                 "not_under_qemu(reason): left out for the 32-bit build where its programs run under qemu"):
        config.addinivalue_line("markers", line)


def _parametrized(metafunc, name):
    for mark in metafunc.definition.iter_markers("parametrize"):
        names = mark.args[0]
        if name in ([n.strip() for n in names.split(",")] if isinstance(names, str) else names):
            return True
    return False


def pytest_generate_tests(metafunc):
    if "arch" in metafunc.fixturenames and not _parametrized(metafunc, "arch"):
        metafunc.parametrize("arch", ARCHS)


def _arch(item):
    return getattr(item, "callspec", None) and item.callspec.params.get("arch")


def pytest_collection_modifyitems(config, items):
    arch = config.getoption("--arch")
    if arch:
        other = [item for item in items if _arch(item) not in (None, arch)]
        config.hook.pytest_deselected(items=other)
        items[:] = [item for item in items if item not in other]


def ctest_name(item):
    name = item.originalname.removeprefix("test_")
    return f"{name}_{item.callspec.id.replace('-', '_')}" if hasattr(item, "callspec") else name


def pytest_collection_finish(session):
    path = session.config.getoption("--ctest-list")
    if not path:
        return
    lines, names = [], set()
    for item in session.items:
        name = ctest_name(item)
        if name in names:
            raise pytest.UsageError(f"two scenarios are named {name}")
        names.add(name)
        labels = ";".join(label for label in LABELS if item.get_closest_marker(label))
        timeout = item.get_closest_marker("ctest_timeout")
        lines.append(f"add_wine_scenario([==[{name}]==] [==[{item.nodeid}]==] [==[{labels}]==] "
                     f"{timeout.args[0] if timeout else DEFAULT_TIMEOUT})\n")
    with open(path, "w") as out:
        out.writelines(lines)


def pytest_runtest_setup(item):
    left_out = item.get_closest_marker("not_under_qemu")
    if left_out and _arch(item) and qemu.emulated(_arch(item)):
        pytest.skip(f"left out under qemu: {left_out.args[0]}")


def pytest_sessionfinish(session):
    stats = session.config.pluginmanager.get_plugin("terminalreporter").stats
    if session.exitstatus == 0 and stats.get("skipped") and not stats.get("passed"):
        session.exitstatus = 77


def _optional_file(request, option):
    value = request.config.getoption(option)
    return value and os.path.abspath(value)


def _file(request, option):
    value = _optional_file(request, option)
    if not value:
        pytest.fail(f"this scenario needs --{option.replace('_', '-')}", pytrace=False)
    return value


def _file_fixture(name, option):
    """A session fixture, name, for the file that --option names."""
    def fixture(request):
        return _file(request, option)
    return pytest.fixture(fixture, scope="session", name=name)


exe, scr, probe, frame_tool, zip_file, exe64, scr64 = (
    _file_fixture(name, option) for name, option in (
        ("exe", "exe"), ("scr", "scr"), ("probe", "probe"), ("frame_tool", "frame_tool"), ("zip_file", "zip"),
        ("exe64", "exe64"), ("scr64", "scr64")))


@pytest.fixture(scope="session")
def source_date_epoch(request):
    value = request.config.getoption("source_date_epoch")
    if value is None:
        pytest.fail("this scenario needs --source-date-epoch", pytrace=False)
    return value


@pytest.fixture
def emulated(arch):
    return qemu.emulated(arch)


@pytest.fixture(scope="session")
def wine_runs():
    """The session's runs under Wine by (arch, screens, kind), ended with it."""
    runs = {}
    yield runs
    for s in runs.values():
        s.__exit__()


@pytest.fixture
def wine(wine_runs, request):
    """wine(arch, SCREEN..., kind=None, heads=None): a run under Wine (see above), made
    when first asked for. A run left with a program still going (a scenario
    that failed halfway) ends with the scenario, so that the next starts clean."""
    used = []

    def open_run(arch, *screens, kind=None, heads=None):
        key = (arch, screens, kind, heads)
        if key not in wine_runs:
            s = Session(arch, list(screens), kind=kind, probe=_optional_file(request, "probe"),
                        tool=_optional_file(request, "frame_tool"),
                        heads=heads and (heads, _file(request, "heads_library")))
            try:
                wine_runs[key] = s.__enter__()
            except Skip as skip:
                pytest.skip(str(skip))
        used.append(key)
        return wine_runs[key]
    yield open_run
    for key in used:
        if key in wine_runs and wine_runs[key].running():
            wine_runs.pop(key).__exit__()
