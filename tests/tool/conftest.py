"""The frame tool's command for the tests: --tool "WORDS" (an emulator's words
first in a 32-bit build, as CTest passes them)."""
import os
import shlex

import pytest


def pytest_addoption(parser):
    parser.addoption("--tool", required=True, help="the frame tool's command, an emulator's words first")


@pytest.fixture(scope="session")
def tool_command(request):
    # Absolute, since some runs start in another folder.
    return [os.path.abspath(word) if os.path.exists(word) else word
            for word in shlex.split(request.config.getoption("--tool"))]
