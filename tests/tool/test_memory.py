"""Memory: a frame larger than the memory the process may use is refused
with the reason, not left to the allocator or the kernel's OOM killer."""
import subprocess
import tempfile

import pytest

from helpers import SANITIZED, old_kept, one_line_error


def test_refused_frame(tool, old_png, is_32_bit, emulated):
    """A frame that does not fit in the memory the process may use is a run
    failure: status 1, the reason, no usage, and the earlier file stays. A
    32-bit tool cannot address the largest frame at all; a 64-bit one is held
    to less with an address-space limit, which does not mix with emulators or
    sanitizers."""
    if is_32_bit:
        run = tool("--size", "65535x65535", "--ticks", "1", "--png", str(old_png))
        message = "needs 17179344900 bytes, more than a 32-bit program can address"
    elif emulated or SANITIZED:
        pytest.skip("an address-space limit would hold the emulator or the sanitizer")
    else:
        run = tool("--size", "8000x8000", "--ticks", "1", "--png", str(old_png), limit=200 << 20)
        message = "needs 256000000 bytes, more than"
    assert one_line_error(run, 1, message) and "usage:" not in run.stderr.decode(), run.stderr
    assert old_kept(old_png)


def test_meminfo(tool, tool_command):
    """Where the system does not say how much memory is available, the
    allocation decides; where it does, a larger frame is refused. A user and
    mount namespace shows the tool another /proc/meminfo, where the system
    allows one."""
    if subprocess.run(["unshare", "--map-root-user", "--mount", "true"], capture_output=True).returncode != 0:
        pytest.skip("no user namespace for another /proc/meminfo here")
    normal = tool("--size", "64x48", "--ticks", "3").stdout
    assert normal.startswith(b"tick=3 ")
    with tempfile.NamedTemporaryFile("w") as meminfo:
        for text, size, status, expected in [
            ("", "64x48", 0, normal),
            ("MemTotal: 1000 kB\nMemFree: 500 kB\n", "64x48", 0, normal),
            ("MemTotal: 1000 kB\nMemAvailable: 1000 kB\n", "1000x1000", 1, b""),
        ]:
            meminfo.seek(0)
            meminfo.truncate()
            meminfo.write(text)
            meminfo.flush()
            run = subprocess.run(["unshare", "--map-root-user", "--mount", "sh", "-c",
                                  'mount --bind "$0" /proc/meminfo && exec "$@"', meminfo.name,
                                  *tool_command, "--size", size, "--ticks", "3"], capture_output=True)
            assert run.returncode == status and run.stdout == expected, (text, run.stderr)
            if status:
                assert one_line_error(run, 1, "needs 4000000 bytes, more than the 1024000 bytes of memory available")
