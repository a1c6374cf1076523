# SPDX-License-Identifier: MIT
"""Runs the real ombrix executable under a private X server and talks to its
window the way a user would: Escape through xdotool, the close button through
a WM_DELETE_WINDOW client message.

Every wait here has a deadline; a run that outlives its deadline is killed and
reported as a failure, so nothing in the suite can hang.
"""

import os
import re
import select
import signal
import subprocess
import time
from dataclasses import dataclass, field
from pathlib import Path

import Xlib.X
import Xlib.XK
import Xlib.display
import Xlib.error
import Xlib.protocol.event

WINDOW_NAME = "^Ombrix"


class ToolFailure(AssertionError):
    """The tool did not behave well enough for the run to be judged: it hung,
    never opened its window, or died before it could be talked to."""


# --------------------------------------------------------------------------
# The X server


def _accepts_connections(name):
    try:
        d = Xlib.display.Display(name)
    except (Xlib.error.DisplayError, OSError, ConnectionError):
        return False
    d.close()
    return True


class XServer:
    """One Xvfb, started once per run of the suite. Xvfb picks a free display
    number itself and writes it to a pipe (-displayfd) once it accepts
    connections, so suites running at once never race for a number."""

    def __init__(self, startup_timeout=10.0):
        self.startup_timeout = startup_timeout
        self.proc = None
        self.name = None

    def start(self):
        read_end, write_end = os.pipe()
        try:
            proc = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
                 "-nolisten", "tcp", "-noreset"],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                pass_fds=(write_end,), start_new_session=True)
        finally:
            os.close(write_end)
        try:
            number = _read_display_number(read_end, self.startup_timeout)
        finally:
            os.close(read_end)
        if number is None:
            _end_process(proc)
            raise RuntimeError("Xvfb did not start (no display number on its -displayfd pipe)")
        name = f":{number}"
        if not _accepts_connections(name):
            _end_process(proc)
            raise RuntimeError(f"Xvfb reported {name} but refuses connections")
        self.proc, self.name = proc, name
        return name

    def stop(self):
        if self.proc is not None:
            _end_process(self.proc)
            self.proc = None


def _read_display_number(fd, timeout):
    """The number Xvfb writes to fd (a line of digits), or None when it ends,
    closes the pipe without one, or takes longer than timeout."""
    deadline = time.monotonic() + timeout
    data = b""
    while not data.endswith(b"\n"):
        left = deadline - time.monotonic()
        if left <= 0:
            return None
        ready, _, _ = select.select([fd], [], [], left)
        if not ready:
            return None
        chunk = os.read(fd, 64)
        if not chunk:
            break  # Xvfb closed the pipe: ended or gave up
        data += chunk
    text = data.strip()
    return int(text) if text.isdigit() else None


def _end_process(proc, grace=5.0):
    """Ends a process this module started (by its own id) and reaps it."""
    if proc.poll() is not None:
        return
    proc.terminate()
    try:
        proc.wait(timeout=grace)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait(timeout=grace)


# --------------------------------------------------------------------------
# Talking to the window


def _x_env(display):
    env = dict(os.environ)
    env["DISPLAY"] = display
    return env


def find_windows(display):
    r = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", WINDOW_NAME],
                       env=_x_env(display), capture_output=True, text=True, timeout=10)
    return [int(w) for w in r.stdout.split()]


def press_key(display, wid, key):
    r = subprocess.run(["xdotool", "key", "--window", str(wid), key], env=_x_env(display),
                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=10)
    if r.returncode != 0:
        raise subprocess.CalledProcessError(r.returncode, r.args, stderr=r.stderr)


def window_name(display, wid):
    r = subprocess.run(["xdotool", "getwindowname", str(wid)], env=_x_env(display),
                       capture_output=True, text=True, timeout=10)
    return r.stdout.rstrip("\n") if r.returncode == 0 else None


def window_size(display, wid):
    r = subprocess.run(["xdotool", "getwindowgeometry", str(wid)], env=_x_env(display),
                       capture_output=True, text=True, timeout=10)
    m = re.search(r"Geometry: (\d+)x(\d+)", r.stdout)
    return (int(m.group(1)), int(m.group(2))) if m else None


def request_close(display, wid):
    """What a window manager sends when the user clicks the close button."""
    d = Xlib.display.Display(display)
    try:
        window = d.create_resource_object("window", wid)
        protocols = d.intern_atom("WM_PROTOCOLS")
        delete = d.intern_atom("WM_DELETE_WINDOW")
        event = Xlib.protocol.event.ClientMessage(
            window=window, client_type=protocols,
            data=(32, [delete, Xlib.X.CurrentTime, 0, 0, 0]))
        window.send_event(event, event_mask=Xlib.X.NoEventMask)
        d.sync()
    finally:
        d.close()


def send_key(display, wid, keysym_name, time_ms):
    """A key press and release of one key, stamped with time_ms.

    xdotool stamps its events with time 0, and SDL takes a release followed
    by a press of the same key at (nearly) the same time for auto-repeat and
    drops both; two presses of one key in one pass need distinct times."""
    d = Xlib.display.Display(display)
    try:
        window = d.create_resource_object("window", wid)
        keycode = d.keysym_to_keycode(Xlib.XK.string_to_keysym(keysym_name))
        root = d.screen().root
        for kind, mask in ((Xlib.protocol.event.KeyPress, Xlib.X.KeyPressMask),
                           (Xlib.protocol.event.KeyRelease, Xlib.X.KeyReleaseMask)):
            event = kind(time=time_ms, root=root, window=window, same_screen=1, child=Xlib.X.NONE,
                         root_x=0, root_y=0, event_x=0, event_y=0, state=0, detail=keycode)
            window.send_event(event, event_mask=mask)
        d.sync()
    finally:
        d.close()


def sync_server(display):
    """A round trip, so the server has handled what other clients sent before."""
    d = Xlib.display.Display(display)
    try:
        d.sync()
    finally:
        d.close()


# --------------------------------------------------------------------------
# One run of the tool


@dataclass
class Run:
    status: int
    stdout: bytes
    stderr: bytes
    folder: Path
    seconds: float
    notes: dict = field(default_factory=dict)

    def file(self, name):
        p = self.folder / name
        return p.read_bytes() if p.exists() else None


class Session:
    """The running tool as seen by an interaction: its process and window."""

    def __init__(self, proc, display, wid):
        self.proc = proc
        self.display = display
        self.wid = wid

    def key(self, key="Escape"):
        # xdotool sends the press and the release as two requests. A quick tool
        # can act on the press and close its window before the release goes
        # out; xdotool then fails with BadWindow although the press arrived.
        try:
            press_key(self.display, self.wid, key)
        except subprocess.CalledProcessError as failure:
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                raise ToolFailure(f"xdotool could not press {key} and the tool runs on: "
                                  f"{failure.stderr!r}") from failure

    def close(self):
        request_close(self.display, self.wid)

    def stamped_key(self, key, time_ms):
        send_key(self.display, self.wid, key, time_ms)

    def caption(self):
        return window_name(self.display, self.wid)

    def size(self):
        return window_size(self.display, self.wid)

    def hold(self, timeout=5.0):
        """Stops the process, so whatever is sent now queues up for one pass."""
        os.kill(self.proc.pid, signal.SIGSTOP)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if _process_state(self.proc.pid) in ("T", "t", None):
                return
            time.sleep(0.01)
        raise ToolFailure("the tool could not be stopped to queue events")

    def release(self):
        sync_server(self.display)
        time.sleep(0.2)  # let the server hand the queued events to the client
        os.kill(self.proc.pid, signal.SIGCONT)


def _process_state(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0]
    except OSError:
        return None


def wait_for_window(proc, display, timeout, poll=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        windows = find_windows(display)
        if windows:
            return windows[-1]
        if proc.poll() is not None:
            return None
        time.sleep(poll)
    return None


def run_tool(exe, folder, args, *, display=None, interact=None, env=None,
             window_timeout=20.0, exit_timeout=30.0):
    """Runs exe in folder with args, stdout and stderr going to files beside it.

    display: the X display to run on, or None to run with DISPLAY (and
    SDL_VIDEODRIVER) unset. interact: called with a Session once the window
    is up; without it the run must end by itself. Raises ToolFailure when
    the window never appears or the process does not end in time.
    """
    folder = Path(folder)
    run_env = dict(os.environ if env is None else env)
    run_env.pop("SDL_VIDEODRIVER", None)
    if display is None:
        run_env.pop("DISPLAY", None)
    else:
        run_env["DISPLAY"] = display
    out_path = folder.parent / (folder.name + ".stdout")
    err_path = folder.parent / (folder.name + ".stderr")
    notes = {}
    started = time.monotonic()
    with open(out_path, "wb") as out, open(err_path, "wb") as err:
        proc = subprocess.Popen([str(exe)] + [str(a) for a in args], cwd=folder, env=run_env,
                                stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                start_new_session=True)
    try:
        if interact is not None:
            wid = wait_for_window(proc, display, window_timeout)
            if wid is None:
                if proc.poll() is None:
                    raise ToolFailure(f"no window named {WINDOW_NAME!r} appeared within "
                                      f"{window_timeout:.0f} s")
                raise ToolFailure(f"the tool ended (status {proc.returncode}) before its window "
                                  f"could be found; stderr: {err_path.read_bytes()[-400:]!r}")
            notes.update(interact(Session(proc, display, wid)) or {})
        try:
            proc.wait(timeout=exit_timeout)
        except subprocess.TimeoutExpired:
            raise ToolFailure(f"the tool did not end within {exit_timeout:.0f} s; "
                              f"stdout tail: {out_path.read_bytes()[-400:]!r}")
    finally:
        if proc.poll() is None:
            try:
                os.killpg(proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            proc.wait(timeout=10)
    seconds = time.monotonic() - started
    return Run(proc.returncode, out_path.read_bytes(), err_path.read_bytes(), folder, seconds, notes)
