"""Runs the real program in a real window under Xvfb for end-to-end tests.

Each run gets a program folder of its own (a copy of build/daveri with its
own vazovazo.config and content archive) and a private HOME and XDG folders.
Test pages report through console.warn lines, which the program writes to its
log file under the category "js"; the page ends the run with
exitApplication(uuid, failures).
"""

import os
import shutil
import signal
import subprocess
import tempfile
import time
import unittest
import zipfile

BUILD_DIR = os.environ.get("DAVERI_BUILD_DIR") or os.path.join(
    os.path.dirname(__file__), "..", "..", "build")
SOURCE_DIR = os.environ.get("DAVERI_SOURCE_DIR") or os.path.join(os.path.dirname(__file__), "..", "..")
PROGRAM = os.path.join(BUILD_DIR, "daveri")
PACKER = os.path.join(BUILD_DIR, "daveri-pack")
COURSE_LIB = os.path.join(os.path.dirname(__file__), "course")


def pack_zip(source_dir, archive, encrypted=False):
    """Packs a folder as a content archive. Encrypted archives come from the
    project's packer; plain ones from Python's zipfile."""
    if encrypted:
        subprocess.run([PACKER, "--format", "zip", source_dir, archive], check=True,
                       stdout=subprocess.DEVNULL)
        return
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as z:
        for root, _dirs, files in os.walk(source_dir):
            for name in sorted(files):
                full = os.path.join(root, name)
                z.write(full, os.path.relpath(full, source_dir))


class Run:
    """The outcome of one program run."""

    def __init__(self, returncode, log, stdout, stderr):
        self.returncode = returncode
        self.log = log
        self.stdout = stdout
        self.stderr = stderr

    def js_lines(self):
        """The page's console lines, without the log line decoration."""
        out = []
        for line in self.log.split("\r\n"):
            for prefix in ("[warning] js: ", "[info] js: ", "[debug] js: ", "[critical] js: "):
                if line.startswith(prefix):
                    out.append(line[len(prefix):])
        return out

    def results(self):
        """Lines the test page reported with report(): 'PASS name' or 'FAIL name: why'."""
        return [l for l in self.js_lines() if l.startswith(("PASS ", "FAIL "))]


class Shell:
    """One program folder with its own home. Call course() or archive() to
    give it content, config() to write vazovazo.config, then run()."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="daveri-e2e-")
        self.prog = os.path.join(self.root, "prog")
        self.home = os.path.join(self.root, "home")
        os.makedirs(self.prog)
        for sub in ("home", "data", "config", "cache", "runtime"):
            os.makedirs(os.path.join(self.root, sub), exist_ok=True)
        os.chmod(os.path.join(self.root, "runtime"), 0o700)
        shutil.copy2(PROGRAM, os.path.join(self.prog, "daveri"))
        self.exe = os.path.join(self.prog, "daveri")
        self.extra_env = {}

    # Locations as the program computes them for this home.
    @property
    def data_dir(self):
        return os.path.join(self.root, "data", "Ravozadar", "Daveri")

    @property
    def log_path(self):
        return os.path.join(self.data_dir, "appLogs.txt")

    @property
    def contents_dir(self):
        return os.path.join(self.data_dir, "contents")

    def env(self):
        env = dict(os.environ)
        env.update({
            "HOME": self.home,
            "XDG_DATA_HOME": os.path.join(self.root, "data"),
            "XDG_CONFIG_HOME": os.path.join(self.root, "config"),
            "XDG_CACHE_HOME": os.path.join(self.root, "cache"),
            "XDG_RUNTIME_DIR": os.path.join(self.root, "runtime"),
            "QT_LOGGING_RULES": "js.info=true;js.debug=true",
            "QTWEBENGINE_CHROMIUM_FLAGS": "--disable-gpu --no-first-run --disable-background-networking",
        })
        if os.getuid() == 0:
            env["QTWEBENGINE_DISABLE_SANDBOX"] = "1"
        env.pop("QT_QPA_PLATFORM", None)
        env.update(self.extra_env)
        return env

    def config(self, text):
        with open(os.path.join(self.prog, "vazovazo.config"), "w", encoding="utf-8") as f:
            f.write(text)

    def course(self, files, encrypted=True, archive_name="data.bin", with_lib=True):
        """Packs a course from {entry path: text or bytes}. Entries go below
        wrapper/wrapper/ unless their path starts with '/'. The page library
        course/shell-test.js is added as wrapper/wrapper/shell-test.js."""
        src = os.path.join(self.root, "course-src")
        shutil.rmtree(src, ignore_errors=True)
        entries = dict(files)
        if with_lib:
            with open(os.path.join(COURSE_LIB, "shell-test.js"), encoding="utf-8") as f:
                entries.setdefault("shell-test.js", f.read())
        for name, content in entries.items():
            rel = name[1:] if name.startswith("/") else "wrapper/wrapper/" + name
            path = os.path.join(src, rel)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            mode = "wb" if isinstance(content, bytes) else "w"
            with open(path, mode) as f:
                f.write(content)
        pack_zip(src, os.path.join(self.prog, archive_name), encrypted=encrypted)
        return src

    def read_log(self):
        try:
            with open(self.log_path, encoding="utf-8", errors="replace", newline="") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def start_display(self):
        """Starts a private X server and returns its display name."""
        if getattr(self, "xvfb", None) is not None:
            return self.display
        r, w = os.pipe()
        self.xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", "1280x1024x24",
                                      "-nolisten", "tcp"], pass_fds=(w,), stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL, start_new_session=True)
        os.close(w)
        number = b""
        while not number.endswith(b"\n"):
            chunk = os.read(r, 16)
            if not chunk:
                break
            number += chunk
        os.close(r)
        self.display = ":" + number.decode().strip()
        return self.display

    def start_window_manager(self):
        """Runs a window manager on the private display (full screen and
        window states need one)."""
        self.start_display()
        env = dict(os.environ, DISPLAY=self.display, HOME=self.home)
        self.wm = subprocess.Popen(["openbox", "--sm-disable"], env=env, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, start_new_session=True)
        time.sleep(1.0)

    def start(self, args=("--disable-web-security",)):
        """Starts the program on the private display; returns the process."""
        env = self.env()
        env["DISPLAY"] = self.start_display()
        return subprocess.Popen([self.exe] + list(args), cwd=self.prog, env=env, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, start_new_session=True)

    def x_windows(self):
        """Named windows of the display as (title, width, height), also when a
        window manager has put them into frames."""
        out = subprocess.run(["xwininfo", "-display", self.display, "-root", "-tree"],
                             capture_output=True, text=True).stdout
        windows = []
        for line in out.splitlines():
            line = line.strip()
            if not line.startswith("0x") or '"' not in line:
                continue
            start = line.index('"') + 1
            title = line[start:line.index('"', start)]
            geometry = line[line.rindex('"') + 1:].split()
            for g in geometry:
                if "x" in g and "+" in g:
                    size = g.split("+")[0]
                    w, h = size.split("x")
                    windows.append((title, int(w), int(h)))
                    break
        return windows

    def run(self, args=("--disable-web-security",), timeout=90, until=None):
        """Runs the program to its end (or until `until(log)` is true, then
        ends it) and returns a Run. A run that outlives `timeout` is killed
        and reported with return code None."""
        proc = self.start(args)
        deadline = time.time() + timeout
        returncode = None
        while time.time() < deadline:
            if proc.poll() is not None:
                returncode = proc.returncode
                break
            if until is not None and until(self.read_log()):
                break
            time.sleep(0.2)
        if returncode is None:
            if until is None:
                # A run that did not end by itself: keep a picture of the screen.
                try:
                    shot = os.path.join(self.root, "timeout.png")
                    screenshot(self.display, shot)
                    print("screenshot of the stuck run: %s (kept with DAVERI_KEEP_TEST_HOME=1)" % shot)
                except Exception as error:  # the display may be gone already
                    print("no screenshot: %s" % error)
            os.killpg(proc.pid, signal.SIGTERM)
            try:
                proc.wait(10)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()
        out, err = proc.communicate()
        return Run(returncode, self.read_log(), out.decode(errors="replace"), err.decode(errors="replace"))

    def cleanup(self):
        if getattr(self, "wm", None) is not None:
            try:
                os.killpg(self.wm.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.wm.wait()
            self.wm = None
        if getattr(self, "xvfb", None) is not None:
            try:
                os.killpg(self.xvfb.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.xvfb.wait()
            self.xvfb = None
        if not os.environ.get("DAVERI_KEEP_TEST_HOME"):
            shutil.rmtree(self.root, ignore_errors=True)


def page(script, title="test"):
    """A test page: loads the web channel and the page library, then runs
    `script` as the body of an async function test(shell)."""
    return ("<!doctype html><html><head><meta charset='utf-8'><title>%s</title>"
            "<script src='qrc:///qtwebchannel/qwebchannel.js'></script>"
            "<script src='shell-test.js'></script></head><body>"
            "<script>runTest(async function (shell) {\n%s\n});</script>"
            "</body></html>") % (title, script)


class ShellTestCase(unittest.TestCase):
    """Gives every test a fresh Shell and checks the page's own verdicts."""

    def setUp(self):
        self.shell = Shell()

    def tearDown(self):
        self.shell.cleanup()

    def wait_log(self, proc, text, timeout=60):
        """Waits until the log holds `text`; False when the program ended or
        the time ran out first."""
        deadline = time.time() + timeout
        while time.time() < deadline:
            if text in self.shell.read_log():
                return True
            if proc.poll() is not None:
                return False
            time.sleep(0.1)
        return False

    def assertPagePassed(self, run, expected_passes=None, allowed_warnings=()):
        """The page reported no failure and finished, the program ended with
        0, and the program itself logged no warning or worse beyond the
        `allowed_warnings` (substrings of the lines that may occur)."""
        unexpected = [line for line in run.log.split("\r\n")
                      if line.startswith(("[warning] ", "[critical] ", "[fatal] "))
                      and not line.split("] ", 1)[1].startswith("js: ")
                      and not any(allowed in line for allowed in allowed_warnings)]
        self.assertFalse(unexpected, "unexpected warnings in the log:\n" + "\n".join(unexpected))
        results = run.results()
        failures = [r for r in results if r.startswith("FAIL ")]
        detail = "\n".join(run.js_lines()[-40:]) + "\n--- stderr ---\n" + run.stderr[-3000:]
        self.assertFalse(failures, "page reported failures:\n" + "\n".join(failures) + "\n" + detail)
        self.assertTrue(any(l == "DONE" for l in run.js_lines()), "page did not finish:\n" + detail)
        if expected_passes is not None:
            passes = [r for r in results if r.startswith("PASS ")]
            self.assertEqual(sorted(expected_passes), sorted(p[5:] for p in passes), detail)
        self.assertEqual(run.returncode, 0, detail)


def close_window(display, title):
    """Asks the window with `title` to close, as a window manager's close
    button does (WM_DELETE_WINDOW). Returns False when no such window."""
    from Xlib import X, display as xdisplay, protocol
    d = xdisplay.Display(display)
    try:
        root = d.screen().root
        wm_protocols = d.intern_atom("WM_PROTOCOLS")
        wm_delete = d.intern_atom("WM_DELETE_WINDOW")
        for window in root.query_tree().children:
            if window.get_wm_name() != title:
                continue
            event = protocol.event.ClientMessage(window=window, client_type=wm_protocols,
                                                 data=(32, [wm_delete, X.CurrentTime, 0, 0, 0]))
            window.send_event(event)
            d.flush()
            return True
        return False
    finally:
        d.close()


def click(display, x, y):
    """A real mouse click at a screen position (a user gesture for the page)."""
    env = dict(os.environ, DISPLAY=display)
    subprocess.run(["xdotool", "mousemove", str(x), str(y), "click", "1"], env=env, check=True)


def renderer_pids(exe):
    """Process ids of the web engine's renderer processes started by `exe`:
    the children of its zygote processes (they keep the zygote's command line)."""
    def parent(pid):
        with open("/proc/%d/stat" % pid) as f:
            return int(f.read().rsplit(")", 1)[1].split()[1])

    def is_zygote(pid):
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            return b"--type=zygote" in f.read().split(b"\0")

    pids = []
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        pid = int(name)
        try:
            if not is_zygote(pid):
                continue
            zygote = parent(pid)
            if not is_zygote(zygote):
                continue
            if os.readlink("/proc/%d/exe" % parent(zygote)) == exe:
                pids.append(pid)
        except (OSError, ValueError, IndexError):
            continue
    return pids


def screenshot(display, path):
    """Writes the whole screen of `display` to a PNG file."""
    import struct
    import zlib
    from Xlib import X, display as xdisplay
    d = xdisplay.Display(display)
    try:
        root = d.screen().root
        geometry = root.get_geometry()
        width, height = geometry.width, geometry.height
        raw = root.get_image(0, 0, width, height, X.ZPixmap, 0xffffffff).data
    finally:
        d.close()
    rows = bytearray()
    stride = width * 4
    for y in range(height):
        rows.append(0)
        line = raw[y * stride:(y + 1) * stride]
        for x in range(0, stride, 4):
            rows += bytes((line[x + 2], line[x + 1], line[x]))  # BGRX to RGB

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xffffffff)

    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(bytes(rows), 6)))
        f.write(chunk(b"IEND", b""))
