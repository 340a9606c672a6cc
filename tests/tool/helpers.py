"""What the frame tool's tests share besides fixtures: how a run is judged,
how a running tool is read, and the earlier picture a run must leave alone."""
import ctypes
import os
import resource
import struct
import subprocess

# The tool runs under the address and undefined-behaviour sanitizers.
SANITIZED = bool(os.environ.get("FRAME_TOOL_SANITIZED"))


def one_line_error(run, status, message):
    """The run ended with the status and one line on stderr holding the message."""
    err = run.stderr.decode()
    return run.returncode == status and message in err and err.count("\n") == 1 and err.endswith("\n")


def no_core_dump():
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))


def task_ids(pid):
    return sorted(os.listdir(f"/proc/{pid}/task"))


def raw_run(tool_command, *args):
    """A run writing raw frames into a pipe the test reads."""
    return subprocess.Popen([*tool_command, *args, "--raw"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def read_exactly(stream, size):
    data = b""
    while len(data) < size:
        chunk = stream.read(size - len(data))
        if not chunk:
            break
        data += chunk
    return data


OLD = b"the PNG of an earlier run"


def old_kept(png):
    """The earlier file is there as it was, and nothing beside it."""
    return os.listdir(png.parent) == [png.name] and png.read_bytes() == OLD


def no_unnamed_files():
    """Makes open with O_TMPFILE fail with EOPNOTSUPP in this process and its
    children, as on a file system without unnamed files: a seccomp filter on
    openat's flags, for x86-64 and i386 system calls."""
    allow, refuse = 0x7FFF0000, 0x00050000 | 95  # SECCOMP_RET_ALLOW, SECCOMP_RET_ERRNO | EOPNOTSUPP
    load, jeq, jset, ret = 0x20, 0x15, 0x45, 0x06
    # (code, jump if true, jump if false, constant); jumps skip that many instructions.
    program = [
        (load, 0, 0, 4),          # 0: the architecture
        (jeq, 0, 2, 0xC000003E),  # 1: x86-64?
        (load, 0, 0, 0),          # 2: the system call
        (jeq, 3, 6, 257),         # 3: openat: to 7, else allow
        (jeq, 0, 5, 0x40000003),  # 4: i386? else allow
        (load, 0, 0, 0),          # 5
        (jeq, 0, 3, 295),         # 6: openat: to 7, else allow
        (load, 0, 0, 32),         # 7: the flags, its third argument
        (jset, 0, 1, 0x400000),   # 8: __O_TMPFILE
        (ret, 0, 0, refuse),      # 9
        (ret, 0, 0, allow),       # 10
    ]
    buffer = ctypes.create_string_buffer(b"".join(struct.pack("<HBBI", *insn) for insn in program))
    fprog = ctypes.create_string_buffer(struct.pack("<HxxxxxxQ", len(program), ctypes.addressof(buffer)))
    libc = ctypes.CDLL(None, use_errno=True)
    # PR_SET_NO_NEW_PRIVS, then PR_SET_SECCOMP with SECCOMP_MODE_FILTER
    if libc.prctl(38, 1, 0, 0, 0) != 0 or libc.prctl(22, 2, fprog, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "seccomp filter refused")
