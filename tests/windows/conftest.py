"""Shared setup of the Windows checks: the Wine session that
scripts/windows-env.sh started (prefix, display), running a Windows program
under Wine with a time limit, answering the video-compression dialog, and the
Linux programs the checks compare with.

CTest runs these files (label "windows") after "scripts/windows-env.sh start",
which it runs as a fixture; it passes the folders in the environment:
AVI_WINDOWS_STATE (the session: build-windows/wine), AVI_WINDOWS_BIN (the
Windows programs) and AVI_LINUX_BIN (avirec and avi_dump)."""
import os
import re
import signal
import subprocess
import threading
import time
from pathlib import Path

import pytest

import avi_facts

# How long one Windows program may run, and how long the dialog may take to
# appear.
PROGRAM_SECONDS = 120
DIALOG_SECONDS = 60


def _folder(variable):
    value = os.environ.get(variable)
    if not value:
        pytest.exit(f"{variable} is not set: run the Windows checks through CTest "
                    "(ctest --preset windows)", returncode=2)
    return Path(value)


class Run:
    """What a Windows program did: exit status, standard output (carriage
    returns removed) and standard error."""

    def __init__(self, name, status, out, err, dialog_failure=None):
        self.name = name
        self.status = status
        self.out = out
        self.err = err
        self.lines = out.splitlines()
        self.dialog_failure = dialog_failure

    def field(self, key):
        """The value of the first "key: value" line, or None."""
        prefix = key + ": "
        return next((line[len(prefix):] for line in self.lines if line.startswith(prefix)), None)

    def count(self, line):
        return self.lines.count(line)

    def heap_is_empty(self):
        return "heap: blocks=0 bytes=0" in self.lines

    def frame_checksums(self):
        """The per-frame lines of avi_read, as "frame I: fnv1a=XXXXXXXX"."""
        return [re.sub(r": bytes=.*fnv1a=", ": fnv1a=", line)
                for line in self.lines if re.match(r"frame [0-9]+: ", line)]

    def __repr__(self):
        tail = "\n".join(self.err.splitlines()[-5:])
        dialog = f", dialog: {self.dialog_failure}" if self.dialog_failure else ""
        return f"<{self.name}: exit status {self.status}{dialog}; stderr ends:\n{tail}>"


class Wine:
    """Runs the Windows programs in a folder of their own under the session's
    prefix and display."""

    def __init__(self, state, bin_dir, run_dir):
        self.bin = bin_dir
        self.dir = run_dir
        for line in (state / "env").read_text().splitlines():
            key, _, value = line.partition("=")
            os.environ[key] = value

    def path(self, name):
        return self.dir / name

    def start(self, program, *args, stdin=subprocess.DEVNULL, out=None, err=None):
        return subprocess.Popen(["wine", str(self.bin / f"{program}.exe"), *args], cwd=self.dir,
                                stdin=stdin, stdout=out, stderr=err)

    def answer_dialog(self, keys):
        """Presses KEYS in the "Video Compression" dialog once it shows.
        None when done, else what went wrong."""
        try:
            found = subprocess.run(
                ["xdotool", "search", "--sync", "--onlyvisible", "--name", "Video Compression"],
                stdout=subprocess.PIPE, text=True, timeout=DIALOG_SECONDS)
        except subprocess.TimeoutExpired:
            return f"no compression dialog appeared within {DIALOG_SECONDS} s"
        windows = found.stdout.split()
        if not windows:
            return "no compression dialog appeared"
        focused = subprocess.run(["xdotool", "windowfocus", "--sync", windows[0]])
        pressed = subprocess.run(["xdotool", "key", "--delay", "50", *keys.split()])
        if focused.returncode or pressed.returncode:
            return f"xdotool failed to press {keys}"
        return None

    def run(self, name, program, *args, keys=None, feed=None):
        """Runs PROGRAM.exe with ARGS, answering the dialog with KEYS (none:
        the program must not show it) and writing FEED (bytes) to its
        standard input. NAME.out and NAME.err stay in the folder."""
        out_path, err_path = self.path(f"{name}.out"), self.path(f"{name}.err")
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            proc = self.start(program, *args, out=out, err=err,
                              stdin=subprocess.DEVNULL if feed is None else subprocess.PIPE)
            feeder = None
            if feed is not None:
                feeder = threading.Thread(target=_write_all, args=(proc.stdin, feed))
                feeder.start()
            dialog_failure = self.answer_dialog(keys) if keys else None
            try:
                status = proc.wait(PROGRAM_SECONDS)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
                status = f"killed after {PROGRAM_SECONDS} s"
            if feeder:
                feeder.join()
        text = out_path.read_bytes().decode("utf-8", "replace").replace("\r", "")
        out_path.write_text(text)
        return Run(name, status, text, err_path.read_bytes().decode("utf-8", "replace"),
                   dialog_failure)

    def record_full(self, name, size, frames, fps, stream):
        """A recording with Full Frames through the real dialog, keeping the
        frames put in (NAME.rgb), and Wine's AVIFile reading it back."""
        recorded = self.run(name, "avirec_win", "--size", size, "--frames", str(frames),
                            "--fps", fps, "--name", stream, "--raw-out", f"{name}.rgb",
                            f"{name}.avi", keys="Return")
        read = self.run(f"{name}.read", "avi_read", f"{name}.avi")
        return recorded, read


def _write_all(pipe, data):
    try:
        pipe.write(data)
        pipe.close()
    except BrokenPipeError:
        pass


def _children(pid):
    found = []
    for entry in Path("/proc").iterdir():
        if entry.name.isdigit():
            try:
                stat = (entry / "stat").read_text()
            except OSError:
                continue
            # The parent's pid follows the state, after the command's ")".
            if int(stat[stat.rindex(")") + 2:].split()[1]) == pid:
                found.append(int(entry.name))
    return found


def interrupt(proc, program, signum=signal.SIGINT):
    """Sends one SIGINT (or SIGNUM) to the Windows process of PROGRAM that
    PROC started (Wine turns SIGINT into the console's Ctrl-C event): the
    process itself or the descendant whose command line names PROGRAM. False
    when there is none."""
    pids = [proc.pid]
    while pids:
        pid = pids.pop(0)
        try:
            command = Path(f"/proc/{pid}/cmdline").read_bytes().split(b"\0")[0]
        except OSError:
            continue
        if command.endswith(program.encode()):
            os.kill(pid, signum)
            return True
        pids.extend(_children(pid))
    return False


class Linux:
    """The Linux programs of the same build: the recorder, and avi_dump for
    a file's headers."""

    def __init__(self, bin_dir, run_dir):
        self.avirec = bin_dir / "avirec"
        self.avi_dump = bin_dir / "avi_dump"
        self.dir = run_dir

    def record(self, *args, env=None, stdin=None):
        """avirec with ARGS; its exit status and output (both streams)."""
        done = subprocess.run([str(self.avirec), *args], stdin=stdin, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True,
                              env=None if env is None else {**os.environ, **env})
        return done.returncode, done.stdout

    def headers(self, path):
        """The file's headers as avi_dump prints them, name to value."""
        text = subprocess.run([str(self.avi_dump), str(path)], check=True,
                              stdout=subprocess.PIPE, text=True).stdout
        Path(f"{path}.headers").write_text(text)
        return dict(line.split(": ", 1) for line in text.splitlines())

    def killed_and_repaired(self, name, size, frames, riff_limit):
        """A Full Frames recording of FRAMES random frames from a pipe that
        then stays open, killed with SIGKILL while it waits for more, then
        finished with avirec --repair. The repair's exit status and output."""
        path = self.dir / f"{name}.avi"
        path.unlink(missing_ok=True)
        width, height = (int(v) for v in size.split("x"))
        proc = subprocess.Popen(
            [str(self.avirec), "-y", "--raw", "rgb24", "--size", size, "--fps", "25",
             "--codec", "full", str(path)], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL, env={**os.environ, "AVIFILE_RIFF_LIMIT": str(riff_limit)})
        proc.stdin.write(os.urandom(width * height * 3 * frames))
        proc.stdin.flush()
        time.sleep(1.5)
        proc.kill()
        proc.wait()
        proc.stdin.close()
        return self.record("--repair", str(path))


@pytest.fixture(scope="module")
def run_dir(request):
    """A folder of its own for each file of checks, in the session's run folder."""
    folder = _folder("AVI_WINDOWS_STATE") / "run" / Path(request.fspath).stem
    folder.mkdir(parents=True, exist_ok=True)
    return folder


@pytest.fixture(scope="module")
def wine(run_dir):
    state = _folder("AVI_WINDOWS_STATE")
    if not (state / "env").is_file():
        pytest.exit(f"no Wine session in {state}: scripts/windows-env.sh start has not run",
                    returncode=2)
    return Wine(state, _folder("AVI_WINDOWS_BIN"), run_dir)


@pytest.fixture(scope="module")
def linux(run_dir):
    return Linux(_folder("AVI_LINUX_BIN"), run_dir)


@pytest.fixture(scope="module")
def facts():
    return avi_facts


def size_of(size):
    width, height = size.split("x")
    return int(width), int(height)
