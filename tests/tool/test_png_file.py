"""The --png file: what it replaces and keeps, what it refuses, and that no
way out of a run (a failed write, any signal, a closed pipe) leaves anything
but the earlier file."""
import grp
import os
import pathlib
import pwd
import resource
import shutil
import signal
import stat
import subprocess
import tempfile
import time

import pytest

from helpers import OLD, SANITIZED, no_core_dump, no_descriptor_links, old_kept, one_line_error, read_exactly
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


def test_png_keeps_owner_and_group(tool, old_png, file_route):
    """A replaced file keeps its owner and group as well as its permission
    bits, where the process may give them (here as root: both)."""
    if os.geteuid() != 0:
        pytest.skip("only root gives a file to another user")
    nobody = pwd.getpwnam("nobody").pw_uid
    daemon = grp.getgrnam("daemon").gr_gid
    os.chown(old_png, nobody, daemon)
    os.chmod(old_png, 0o664)
    run = tool("--size", "30x20", "--ticks", "5", "--png", str(old_png), setup=file_route)
    status = os.stat(old_png)
    assert run.returncode == 0 and read_png(old_png)[:2] == (30, 20), run.stderr
    assert (status.st_uid, status.st_gid, stat.S_IMODE(status.st_mode)) == (nobody, daemon, 0o664)
    assert os.listdir(old_png.parent) == ["f.png"]


@pytest.fixture
def shared_folder():
    """A folder that any user can reach and write in, sticky as /tmp is:
    for the tests that run the tool as another user (tmp_path is root's
    alone). They run as root to act as that user."""
    if os.geteuid() != 0:
        pytest.skip("the test acts as other users, which only root may")
    folder = pathlib.Path(tempfile.mkdtemp(prefix="mandelbrot-frames-test-"))
    os.chmod(folder, 0o1777)
    yield folder
    shutil.rmtree(folder)


def as_user(name, groups=(), then=None):
    """The setup that runs the tool as the user, with those supplementary
    groups, and then runs `then` (a file route's setup, say)."""
    user = pwd.getpwnam(name)

    def setup():
        os.setgroups([grp.getgrnam(group).gr_gid for group in groups])
        os.setgid(user.pw_gid)
        os.setuid(user.pw_uid)
        if then:
            then()
    return setup


def refused_before_rendering(run, name, reason):
    """Status 1 with the reason, and not a raw frame written: the name was
    checked before any frame was rendered."""
    return (one_line_error(run, 1, f"cannot write the PNG file '{name}': {reason}") and not run.stdout
            and "usage:" not in run.stderr.decode())


def test_png_where_the_user_may_not_replace_it(tool, shared_folder, file_route):
    """Refused before any frame is rendered, and left as it was: a file of
    another user in a sticky folder (only its owner, the folder's owner or
    root may replace it, though others may write it), and a file the user may
    not write, which a shell's redirection would not overwrite either. Root
    replaces a read-only file, as its shell does."""
    theirs = shared_folder / "theirs.png"
    theirs.write_bytes(OLD)
    os.chown(theirs, pwd.getpwnam("daemon").pw_uid, grp.getgrnam("daemon").gr_gid)
    os.chmod(theirs, 0o666)
    read_only = shared_folder / "read-only.png"
    read_only.write_bytes(OLD)
    os.chown(read_only, pwd.getpwnam("nobody").pw_uid, pwd.getpwnam("nobody").pw_gid)
    os.chmod(read_only, 0o444)
    before = sorted(os.listdir(shared_folder))
    for name, reason in [("theirs.png", "it belongs to another user, and its folder is sticky"),
                         ("read-only.png", "Permission denied")]:
        run = tool("--size", "64x48", "--ticks", "200", "--raw", "--png", name, cwd=shared_folder,
                   setup=as_user("nobody", then=file_route))
        assert refused_before_rendering(run, name, reason), run
        assert (shared_folder / name).read_bytes() == OLD
    assert sorted(os.listdir(shared_folder)) == before and stat.S_IMODE(os.stat(read_only).st_mode) == 0o444

    # Its owner replaces it, sticky folder or not; root replaces a read-only file.
    run = tool("--size", "4x4", "--ticks", "1", "--png", "theirs.png", cwd=shared_folder,
               setup=as_user("daemon", then=file_route))
    assert run.returncode == 0 and read_png(theirs)[:2] == (4, 4), run.stderr
    run = tool("--size", "4x4", "--ticks", "1", "--png", "read-only.png", cwd=shared_folder, setup=file_route)
    assert run.returncode == 0 and read_png(read_only)[:2] == (4, 4), run.stderr
    assert stat.S_IMODE(os.stat(read_only).st_mode) == 0o444 and sorted(os.listdir(shared_folder)) == before


def test_png_keeps_the_group_a_user_may_give(tool, shared_folder, file_route):
    """A user who is not root keeps a replaced file's group where the user
    belongs to it; the owner becomes the user, as the only one it may give."""
    folder = shared_folder / "nobody's"
    folder.mkdir()
    os.chown(folder, pwd.getpwnam("nobody").pw_uid, pwd.getpwnam("nobody").pw_gid)
    png = folder / "f.png"
    png.write_bytes(OLD)
    daemon = grp.getgrnam("daemon").gr_gid
    os.chown(png, 0, daemon)
    os.chmod(png, 0o664)
    run = tool("--size", "4x4", "--ticks", "1", "--png", str(png), setup=as_user("nobody", ["daemon"], file_route))
    status = os.stat(png)
    assert run.returncode == 0 and read_png(png)[:2] == (4, 4), run.stderr
    assert (status.st_uid, status.st_gid, stat.S_IMODE(status.st_mode)) == (pwd.getpwnam("nobody").pw_uid, daemon,
                                                                             0o664)
    assert os.listdir(folder) == ["f.png"]


def test_png_without_proc(tool_command, shared_folder, file_route, emulated):
    """Without /proc (a mount namespace that hides it, a chroot) the file is
    still put in place, by root and by another user, through the way chosen
    before any frame was rendered."""
    if SANITIZED or emulated:
        pytest.skip("the sanitizers and the emulator need /proc themselves")
    hide_proc = ["unshare", "--mount", "--propagation", "private", "sh", "-c",
                 'mount -t tmpfs none /proc && exec "$@"', "sh"]
    if subprocess.run([*hide_proc, "test", "!", "-e", "/proc/self"], capture_output=True).returncode != 0:
        pytest.skip("no mount namespace here to hide /proc in")
    nobody = pwd.getpwnam("nobody")
    as_nobody = ["setpriv", f"--reuid={nobody.pw_uid}", f"--regid={nobody.pw_gid}", "--clear-groups"]
    expected = (8, 6, shown(model_frames(8, 6, 2)[1]))

    def older_kernel():
        no_descriptor_links()
        if file_route:
            file_route()
    # As root, as another user, and as one that may not link a descriptor
    # either, who is left a named temporary file.
    for user, setup in [([], file_route), (as_nobody, file_route), (as_nobody, older_kernel)]:
        png = shared_folder / "f.png"
        png.write_bytes(OLD)
        if user:
            os.chown(png, nobody.pw_uid, nobody.pw_gid)
        run = subprocess.run([*hide_proc, *user, *tool_command, "--size", "8x6", "--ticks", "2", "--png", "f.png"],
                             capture_output=True, cwd=shared_folder, preexec_fn=setup)
        assert run.returncode == 0 and read_png(png) == expected, (user, run.stderr)
        assert os.listdir(shared_folder) == ["f.png"]
        png.unlink()


def test_png_naming_standard_output(tool, tmp_path):
    """The file that standard output writes to is refused, by any of its names:
    replacing it would leave the line in a file that no name reaches."""
    out = tmp_path / "out.txt"
    out.write_bytes(b"")
    os.link(out, tmp_path / "out-link.txt")
    for name in ["/dev/stdout", str(out), "out-link.txt"]:
        with open(out, "wb") as stdout:
            run = tool("--size", "4x4", "--ticks", "3", "--png", name, stdout=stdout, cwd=tmp_path)
        assert one_line_error(run, 1, f"cannot write the PNG file '{name}': it is the file standard output writes to")
        assert out.read_bytes() == b"" and sorted(os.listdir(tmp_path)) == ["out-link.txt", "out.txt"]


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
