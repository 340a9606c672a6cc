"""The frame tool's test fixtures. The tool's command comes from --tool "WORDS"
(an emulator's words first in a 32-bit build, as CTest passes them).
Run: pytest-3 tests/tool --tool "TOOL..."
"""
import os
import resource
import shlex
import subprocess

import pytest

from helpers import OLD, no_unnamed_files


def pytest_addoption(parser):
    parser.addoption("--tool", required=True, help="the frame tool's command, an emulator's words first")


def command_of(config):
    # Absolute, since some runs start in another folder.
    return [os.path.abspath(word) if os.path.exists(word) else word for word in shlex.split(config.getoption("--tool"))]


@pytest.fixture(scope="session")
def tool_command(request):
    return command_of(request.config)


def pytest_generate_tests(metafunc):
    """A test with a `path` argument runs once for each fast render path that
    --list-paths names, and for auto; one with `render_paths` gets the list,
    each line's words."""
    if {"path", "render_paths"} & set(metafunc.fixturenames):
        listed = subprocess.run([*command_of(metafunc.config), "--list-paths"], capture_output=True, check=True)
        lines = [line.split(" ", 1) for line in listed.stdout.decode().splitlines()]
        if "path" in metafunc.fixturenames:
            metafunc.parametrize("path", [line[0] for line in lines[1:]] + ["auto"])
        if "render_paths" in metafunc.fixturenames:
            metafunc.parametrize("render_paths", [lines], ids=["listed"])


@pytest.fixture(scope="session")
def tool(tool_command):
    """Runs the tool; a run that has not ended after five minutes is stopped
    and has status None. limit: an address-space limit; setup: run in the
    child before the tool starts."""
    def run(*args, limit=None, setup=None, stdout=subprocess.PIPE, cwd=None):
        def prepare():
            resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
            if limit:
                resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
            if setup:
                setup()
        try:
            return subprocess.run([*tool_command, *args], stdout=stdout, stderr=subprocess.PIPE, preexec_fn=prepare,
                                  cwd=cwd, timeout=300)
        except subprocess.TimeoutExpired:
            return subprocess.CompletedProcess(args, None, b"", b"did not end within five minutes")
    return run


@pytest.fixture(scope="session")
def is_32_bit(tool_command):
    with open(tool_command[-1], "rb") as binary:
        return binary.read(5)[4] == 1  # the ELF class byte


@pytest.fixture(scope="session")
def emulated(tool_command):
    """The tool runs under an emulator: address-space limits would hold the
    emulator instead."""
    return len(tool_command) > 1


@pytest.fixture
def old_png(tmp_path):
    """An earlier run's picture, f.png, alone in its folder."""
    png = tmp_path / "f.png"
    png.write_bytes(OLD)
    return png


@pytest.fixture(params=["unnamed", "named"])
def file_route(request):
    """The two ways the picture's file is made: unnamed until complete
    (O_TMPFILE), or, where the file system has no unnamed files, a named
    temporary file; the setup function for the run, or None."""
    return no_unnamed_files if request.param == "named" else None
