"""The guardian: a process outside the run's process tree and session, told of
each process group the run starts. When the run ends, normally, by a signal
or killed outright, its end of the guardian's stdin closes, and the guardian
ends those groups, the prefix's wineserver and last the X server (Wine's
processes hold it), and gives up the run's locks, which it holds until then.
Nothing a run starts outlives it.

The run tells it one thing a line: "prefix PATH", "group PID", "xvfb PID",
"binfmt-lock FD" (a descriptor it was handed: the qemu handler's lock).
Run as python3 -m wine.guardian; start() does that."""
import os
import select
import signal
import subprocess
import sys

from . import WINESERVER, qemu


def start(locks):
    """Starts the guardian, handing it the descriptors in locks, which the
    caller may then close; returns its Popen, to pass to tell and wait."""
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [here, os.environ.get("PYTHONPATH")])))
    guard = subprocess.Popen([sys.executable, "-m", "wine.guardian"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             text=True, pass_fds=locks, start_new_session=True, env=env)
    guard.wait()  # it has forked away from the run's process tree
    return guard


def tell(guard, what, value):
    guard.stdin.write(f"{what} {value}\n")
    guard.stdin.flush()


def end(guard, seconds=120):
    """Ends the run: the guardian ends what it was told of; waits for it to finish."""
    guard.stdin.close()
    if not select.select([guard.stdout], [], [], seconds)[0]:
        print(f"the guardian did not report the run's end within {seconds} s", file=sys.stderr)


def main():
    if os.fork():
        os._exit(0)
    told = [line.split(" ", 1) for line in sys.stdin.read().splitlines()]
    values = lambda key: [value for what, value in told if what == key]
    prefix = values("prefix")
    for key in ("group", "server", "xvfb"):
        if key == "server" and prefix:
            env = dict(os.environ, WINEPREFIX=prefix[0])
            subprocess.run([WINESERVER, "-k"], env=env, stderr=subprocess.DEVNULL)
            try:
                subprocess.run([WINESERVER, "-w"], env=env, timeout=60)
            except subprocess.TimeoutExpired:
                print(f"wineserver of {prefix[0]} still there after 60 s", file=sys.stderr)
        for group in values(key):
            try:
                os.killpg(int(group), signal.SIGKILL)
            except ProcessLookupError:
                pass
    for fd in values("binfmt-lock"):
        qemu.release(int(fd))


if __name__ == "__main__":
    main()
