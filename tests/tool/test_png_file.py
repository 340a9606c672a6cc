"""The --png file: what it replaces and keeps, what it refuses, and that no
way out of a run (a failed write, any signal, a closed pipe) leaves anything
but the earlier file."""
import os
import resource
import signal
import stat
import subprocess
import time

from helpers import OLD, SANITIZED, no_core_dump, old_kept, one_line_error, read_exactly
from model import model_frames, shown
from png_rgb import read_png


def test_png_replaces_a_file_and_keeps_its_permissions(tool, old_png, file_route):
    """A replaced file keeps its permission bits; a new one gets the umask's."""
    os.chmod(old_png, 0o604)

    def setup():
        os.umask(0o077)
        if file_route:
            file_route()
    run = tool("--size", "300x200", "--ticks", "5", "--png", str(old_png), setup=setup)
    saved = old_png.read_bytes()
    assert run.returncode == 0 and os.listdir(old_png.parent) == ["f.png"] and saved.startswith(b"\x89PNG"), run
    assert stat.S_IMODE(os.stat(old_png).st_mode) == 0o604
    new = old_png.parent / "new.png"
    run = tool("--size", "30x20", "--ticks", "5", "--png", str(new), setup=setup)
    assert run.returncode == 0 and stat.S_IMODE(os.stat(new).st_mode) == 0o600


def test_png_follows_links(tool, tmp_path):
    """A link is followed, relative to its folder, through a chain and to a file
    yet to be made; the links stay links."""
    (tmp_path / "pictures").mkdir()
    target = tmp_path / "pictures" / "target.png"
    target.write_bytes(OLD)
    os.symlink("pictures/target.png", tmp_path / "link.png")
    os.symlink("link.png", tmp_path / "chain.png")
    os.symlink("later.png", tmp_path / "pictures" / "dangling.png")
    expected = (4, 4, shown(model_frames(4, 4, 1)[0]))
    for name in ["link.png", "chain.png"]:
        target.write_bytes(OLD)
        run = tool("--size", "4x4", "--ticks", "1", "--png", name, cwd=tmp_path)
        assert run.returncode == 0 and read_png(target) == expected, run.stderr
        assert os.readlink(tmp_path / "link.png") == "pictures/target.png"
        assert os.readlink(tmp_path / "chain.png") == "link.png"
    run = tool("--size", "4x4", "--ticks", "1", "--png", str(tmp_path / "pictures" / "dangling.png"))
    assert run.returncode == 0 and read_png(tmp_path / "pictures" / "later.png") == expected
    assert sorted(os.listdir(tmp_path)) == ["chain.png", "link.png", "pictures"]
    assert sorted(os.listdir(tmp_path / "pictures")) == ["dangling.png", "later.png", "target.png"]


def test_png_refuses_what_is_not_a_regular_file(tool, tmp_path):
    """A FIFO, a device, a folder and names that cannot be a file are refused
    before any frame is rendered (no raw frame is written), with status 1 and
    the reason, and left as they were."""
    os.mkfifo(tmp_path / "fifo")
    (tmp_path / "shot.png").mkdir()
    os.symlink("fifo", tmp_path / "to-fifo.png")
    cases = [("fifo", "not a regular file"), ("to-fifo.png", "not a regular file"), ("shot.png", "a folder"),
             ("", "the name is empty"), (".", "a folder"), ("shot.png/", "ends in '/'"),
             ("missing/f.png", "No such file or directory"), ("x" * 256, "File name too long")]
    try:
        os.mknod(tmp_path / "nulldev", stat.S_IFCHR | 0o666, os.makedev(1, 3))
        cases.append(("nulldev", "not a regular file"))
    except PermissionError:
        pass  # only root makes devices
    before = sorted(os.listdir(tmp_path))
    for name, reason in cases:
        run = tool("--size", "64x48", "--ticks", "200", "--raw", "--png", name, cwd=tmp_path)
        assert one_line_error(run, 1, f"cannot write the PNG file '{name}': ") and reason in run.stderr.decode(), run
        assert "usage:" not in run.stderr.decode() and not run.stdout
    assert sorted(os.listdir(tmp_path)) == before and stat.S_ISFIFO(os.stat(tmp_path / "fifo").st_mode)
    if "nulldev" in before:
        assert stat.S_ISCHR(os.stat(tmp_path / "nulldev").st_mode)


def test_png_name_of_the_longest_length(tool, tmp_path, file_route):
    name = "x" * 251 + ".png"
    run = tool("--size", "4x4", "--ticks", "1", "--png", name, cwd=tmp_path, setup=file_route)
    assert run.returncode == 0 and os.listdir(tmp_path) == [name], run.stderr


def test_png_write_fails(tool, old_png, file_route):
    """A failed write (the file size limit is below the PNG's size) says why and
    leaves the earlier file; the line is printed only once the picture is in place."""
    def setup():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (4000, 4000))
        if file_route:
            file_route()
    run = tool("--size", "300x200", "--ticks", "5", "--png", str(old_png), setup=setup)
    assert one_line_error(run, 1, f"writing the PNG file '{old_png}' failed: File too large"), run.stderr
    assert not run.stdout and old_kept(old_png)


def start_long_run(tool_command, png, setup=None, prefix=()):
    """Starts a run of every tick of 64x48 up to saturation with its raw frames
    in a pipe, and returns once the first frame has come, with the folder's
    names while it runs."""
    def prepare():
        no_core_dump()
        if setup:
            setup()
    running = subprocess.Popen([*prefix, *tool_command, "--size", "64x48", "--ticks", "100000000", "--png", str(png),
                                "--raw"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, preexec_fn=prepare)
    assert len(read_exactly(running.stdout, 64 * 48 * 4)) == 64 * 48 * 4
    return running, sorted(os.listdir(png.parent))


# Every signal whose default ends the process; a file with no name until it
# is complete is not left even by SIGKILL.
FATAL = ["SIGINT", "SIGTERM", "SIGHUP", "SIGQUIT", "SIGUSR1", "SIGUSR2", "SIGALRM", "SIGXCPU", "SIGVTALRM",
         "SIGPROF", "SIGABRT", "SIGSEGV", "SIGRTMIN", "SIGKILL"]


def test_fatal_signals_leave_the_earlier_file(tool_command, old_png, file_route, emulated):
    for name in FATAL:
        if name == "SIGKILL" and file_route:
            continue  # a named file cannot outlive SIGKILL: that is what unnamed files are for
        if name == "SIGRTMIN" and emulated:
            continue  # qemu keeps the first real-time signals for itself and numbers the guest's apart
        if name == "SIGSEGV" and SANITIZED:
            continue  # the sanitizer takes SIGSEGV and reports it itself
        number = getattr(signal, name)
        # A non-interactive shell's background job starts with SIGINT and
        # SIGQUIT ignored; the tool keeps what it is given.
        running, during = start_long_run(tool_command, old_png, setup=file_route,
                                         prefix=["env", "--default-signal"])
        assert len(during) == (2 if file_route else 1), during
        running.send_signal(number)
        status = running.wait()
        running.stdout.close()
        assert status == -number and old_kept(old_png), (name, status, os.listdir(old_png.parent),
                                                         running.stderr.read())


def test_file_size_signal_leaves_the_earlier_file(tool, old_png, file_route):
    def setup():
        resource.setrlimit(resource.RLIMIT_FSIZE, (4000, 4000))
        if file_route:
            file_route()
    run = tool("--size", "300x200", "--ticks", "5", "--png", str(old_png), setup=setup)
    assert run.returncode == -signal.SIGXFSZ and old_kept(old_png), (run.returncode, os.listdir(old_png.parent))


def test_ignored_signal_stays_ignored(tool_command, old_png, file_route):
    """The run waits to write its first frame into a full pipe when the signal
    comes, and then ends as usual."""
    def setup():
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        if file_route:
            file_route()
    running = subprocess.Popen([*tool_command, "--size", "640x480", "--ticks", "3", "--raw", "--png", str(old_png)],
                               stdout=subprocess.PIPE, preexec_fn=setup)
    frames = running.stdout.read(4096)
    running.send_signal(signal.SIGINT)
    time.sleep(0.1)
    frames += running.stdout.read()
    assert running.wait() == 0 and len(frames) == 3 * 640 * 480 * 4
    assert read_png(old_png)[:2] == (640, 480) and os.listdir(old_png.parent) == ["f.png"]


def test_closed_pipe_leaves_the_earlier_file(tool_command, old_png):
    """A reader that goes away ends the run as it would any program's."""
    running = subprocess.Popen([*tool_command, "--size", "640x480", "--ticks", "1000", "--raw", "--png", str(old_png)],
                               stdout=subprocess.PIPE)
    running.stdout.read(4096)
    running.stdout.close()
    assert running.wait() == -signal.SIGPIPE and old_kept(old_png)
