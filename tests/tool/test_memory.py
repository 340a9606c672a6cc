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


@pytest.mark.parametrize("version", [1, 2])
def test_control_group_limit(tool_command, tmp_path, version):
    """Inside a container or a service with a memory limit, the limit less
    what the group uses is what the process may take: a larger frame is
    refused with the reason and the file is not made, where the kernel's OOM
    killer would otherwise end the run without a word. A user and mount
    namespace shows the tool made-up /proc/self/cgroup and mountinfo files
    naming a group whose folder is in the test's own; the in-process tests
    (available_memory_tests.cpp) take the files' every form."""
    if subprocess.run(["unshare", "--map-root-user", "--mount", "true"], capture_output=True).returncode != 0:
        pytest.skip("no user namespace for made-up /proc/self files here")
    group = tmp_path / "cgroup" / "box"
    group.mkdir(parents=True)
    if version == 2:
        (tmp_path / "self-cgroup").write_text("0::/box\n")
        mount = f"25 1 0:23 / {tmp_path}/cgroup rw,nosuid - cgroup2 cgroup2 rw\n"
        files = {"memory.max": "314572800\n", "memory.current": "104857600\n", "memory.stat": "inactive_file 0\n"}
    else:
        (tmp_path / "self-cgroup").write_text("7:pids:/\n4:memory:/box\n")
        mount = f"36 32 0:33 / {tmp_path}/cgroup rw,relatime - cgroup cgroup rw,memory\n"
        files = {"memory.limit_in_bytes": "314572800\n", "memory.usage_in_bytes": "104857600\n",
                 "memory.stat": "total_inactive_file 0\n"}
    (tmp_path / "self-mountinfo").write_text(mount)
    for name, text in files.items():
        (group / name).write_text(text)
    work = tmp_path / "work"
    work.mkdir()

    def run(size):
        return subprocess.run(["unshare", "--map-root-user", "--mount", "sh", "-c",
                               'mount --bind "$0/self-cgroup" /proc/$$/cgroup && '
                               'mount --bind "$0/self-mountinfo" /proc/$$/mountinfo && exec "$@"', str(tmp_path),
                               *tool_command, "--size", size, "--ticks", "1", "--png", "big.png"],
                              capture_output=True, cwd=work)
    refused = run("16000x16000")
    assert one_line_error(refused, 1, "needs 1024000000 bytes, more than the 209715200 bytes of memory available")
    assert not refused.stdout and not list(work.iterdir())
    fits = run("640x360")
    assert fits.returncode == 0 and fits.stdout.startswith(b"tick=1 ") and list(work.iterdir()), fits.stderr
