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


def refuse_calls(call64, call32, argument, flag, error):
    """Makes the system call (its x86-64 and i386 numbers) fail with the errno
    in this process and its children whenever the flag is set in its
    argument (counted from 0): a seccomp filter."""
    allow, refuse = 0x7FFF0000, 0x00050000 | error  # SECCOMP_RET_ALLOW, SECCOMP_RET_ERRNO | error
    load, jeq, jset, ret = 0x20, 0x15, 0x45, 0x06
    # (code, jump if true, jump if false, constant); jumps skip that many instructions.
    program = [
        (load, 0, 0, 4),                    # 0: the architecture
        (jeq, 0, 2, 0xC000003E),            # 1: x86-64?
        (load, 0, 0, 0),                    # 2: the system call
        (jeq, 3, 6, call64),                # 3: to 7, else allow
        (jeq, 0, 5, 0x40000003),            # 4: i386? else allow
        (load, 0, 0, 0),                    # 5
        (jeq, 0, 3, call32),                # 6: to 7, else allow
        (load, 0, 0, 16 + 8 * argument),    # 7: the argument's low half
        (jset, 0, 1, flag),                 # 8
        (ret, 0, 0, refuse),                # 9
        (ret, 0, 0, allow),                 # 10
    ]
    buffer = ctypes.create_string_buffer(b"".join(struct.pack("<HBBI", *insn) for insn in program))
    fprog = ctypes.create_string_buffer(struct.pack("<HxxxxxxQ", len(program), ctypes.addressof(buffer)))
    libc = ctypes.CDLL(None, use_errno=True)
    # PR_SET_NO_NEW_PRIVS, then PR_SET_SECCOMP with SECCOMP_MODE_FILTER
    if libc.prctl(38, 1, 0, 0, 0) != 0 or libc.prctl(22, 2, fprog, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "seccomp filter refused")


def no_unnamed_files():
    """Makes open with O_TMPFILE fail with EOPNOTSUPP, as on a file system
    without unnamed files: openat with __O_TMPFILE in its flags."""
    refuse_calls(257, 295, 2, 0x400000, 95)


def no_descriptor_links():
    """Makes linkat with AT_EMPTY_PATH fail with ENOENT, as it does before
    Linux 6.10 for a process without CAP_DAC_READ_SEARCH."""
    refuse_calls(265, 303, 4, 0x1000, 2)
