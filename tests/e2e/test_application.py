"""The application commands driven from a page in the real program: start and
end, application information and state, plugins, opening URLs with the
desktop, and the native file dialogs driven in the real window."""

import os
import signal
import stat
import subprocess
import time
import unittest

from harness import ShellTestCase, page



class ApplicationTest(ShellTestCase):


    def test_commands(self):
        # A stand-in for the desktop's opener, first on PATH, records what it
        # was asked to open.
        bindir = os.path.join(self.shell.root, "bin")
        os.makedirs(bindir)
        opened = os.path.join(self.shell.root, "opened.txt")
        opener = os.path.join(bindir, "xdg-open")
        with open(opener, "w") as f:
            f.write("#!/bin/sh\nprintf '%%s\\n' \"$1\" >> '%s'\n" % opened)
        os.chmod(opener, stat.S_IRWXU)
        self.shell.extra_env["PATH"] = bindir + os.pathsep + os.environ.get("PATH", "")
        other_store = os.path.join(self.shell.root, "other-store")

        self.shell.course({"index.html": page(r"""
            var r = await call(shell, "initialize");
            eq(r.data, {uuid: r.uuid, version: {semver: "1.3.0"}}, "initializeDone with version");
            eq(r.name, "initializeDone", "initialize");
            r = await call(shell, "finalize");
            eq([r.name, r.data], ["finalizeDone", {uuid: r.uuid}], "finalize");

            r = await call(shell, "applicationInfo");
            eq(r.name, "applicationInfoDone", "applicationInfo");
            console.warn("INFO " + JSON.stringify(r.data));

            r = await call(shell, "getApplicationState");
            eq(r.name, "getApplicationStateFinish", "getApplicationState");
            check([0, 1, 2, 4].indexOf(r.data.state_code) >= 0, "state code is a known state", r.data);

            r = await call(shell, "setApplicationState", "active");
            eq([r.name, r.data], ["setApplicationStateFinish", {uuid: r.uuid, result: false}], "setApplicationState");

            // Plugins.
            r = await call(shell, "initializePlugin", "storage", {});
            eq([r.name, r.data], ["initializePluginFail", {uuid: r.uuid, code: 607}], "unknown plugin name (case)");
            r = await call(shell, "initializePlugin", "Zip", {});
            eq([r.name, r.data], ["initializePluginDone", {uuid: r.uuid}], "Zip needs no initialisation");
            for (var name of ["FileDownloader", "FileSystem", "Hardware", "Archive"]) {
                r = await call(shell, "initializePlugin", name, {});
                eq(r.name, "initializePluginDone", name + " needs no initialisation");
            }
            r = await call(shell, "initializePlugin", "Storage", {path: %(other)s});
            eq([r.name, r.data], ["initializePluginDone", {uuid: r.uuid}], "Storage at a given path");
            await call(shell, "saveDBItem", "where", "other");
            r = await call(shell, "initializePlugin", "Storage", {path: %(other)s + "/no/such/dir/file"});
            eq([r.name, r.data], ["initializePluginFail", {uuid: r.uuid}], "Storage that cannot open");
            r = await call(shell, "saveDBItem", "k", "v");
            eq(r.name, "saveDBItemError", "a failed open leaves no store");
            r = await call(shell, "initializePlugin", "Storage", {});
            eq(r.name, "initializePluginDone", "Storage at the default path");
            await call(shell, "saveDBItem", "where", "default");
            r = await call(shell, "initializePlugin", "Application", {});
            eq([r.name, r.data], ["initializePluginDone", {uuid: r.uuid, version: {semver: "1.3.0"}}],
               "Application plugin");

            // Opening URLs with the desktop.
            r = await call(shell, "openUrlPlatformDef", "https://example.org/a b?x=1");
            eq([r.name, r.data], ["openUrlPlatformDefFinish", {uuid: r.uuid, result: true}], "open a URL");
            r = await call(shell, "openUrlPlatformDef", "http://[::1");
            eq(r.data, {uuid: r.uuid, result: false}, "an unparsable URL is refused");
        """ % {"other": repr(other_store)})})
        run = self.shell.run(timeout=120)
        # The store that cannot be opened is reported in the log.
        self.assertPagePassed(run, allowed_warnings=("/no/such/dir/file",))

        info = [l for l in run.js_lines() if l.startswith("INFO ")]
        self.assertEqual(len(info), 1, run.js_lines())
        import json
        data = json.loads(info[0][5:])
        self.assertEqual(data["dir_path"], self.shell.prog)
        self.assertEqual(data["file_path"], self.shell.exe)
        self.assertEqual(data["name"], "Daveri")
        self.assertIsInstance(data["display_name"], str)

        deadline = time.time() + 10
        while time.time() < deadline and not os.path.exists(opened):
            time.sleep(0.1)
        with open(opened) as f:
            self.assertEqual(f.read().splitlines(), ["https://example.org/a%20b?x=1"])

        import sqlite3
        for path, value in ((other_store, "other"), (os.path.join(self.shell.data_dir, "storage", "temp"), "default")):
            db = sqlite3.connect(path)
            try:
                self.assertEqual([k for (k,) in db.execute("select key from stored_values")], ["zkhuh"], path)
            finally:
                db.close()

    def drive_dialog(self, proc, title, *commands):
        """Waits for the dialog window titled `title`, gives it the keyboard
        and runs the xdotool `commands` (argument lists) in order."""
        deadline = time.time() + 60
        window = None
        env = dict(os.environ, DISPLAY=self.shell.display)
        while time.time() < deadline and proc.poll() is None:
            found = subprocess.run(["xdotool", "search", "--name", "^%s$" % title], env=env,
                                   capture_output=True, text=True).stdout.split()
            if found:
                window = found[-1]
                break
            time.sleep(0.2)
        self.assertIsNotNone(window, "no dialog titled %r" % title)
        time.sleep(0.5)  # let the dialog finish laying out before typing
        subprocess.run(["xdotool", "windowfocus", "--sync", window], env=env, check=True)
        for command in commands:
            subprocess.run(["xdotool"] + command, env=env, check=True)

    def test_file_dialogs(self):
        docs = os.path.join(self.shell.root, "docs")
        os.makedirs(docs)
        chosen = os.path.join(docs, "notes.txt")
        with open(chosen, "w") as f:
            f.write("12345")
        new_file = os.path.join(docs, "new.txt")

        self.shell.course({"index.html": page(r"""
            var dir = %(docs)s;
            console.warn("OPEN 1");
            var r = await call(shell, "getOpenFileName", "Pick one", dir, "Text (*.txt)");
            eq([r.name, r.data], ["getOpenFileNameFinish",
               {uuid: r.uuid, filepath: dir + "/notes.txt", filename: "notes.txt", filedir: dir, size: 5}],
               "chosen file");
            console.warn("OPEN 2");
            r = await call(shell, "getOpenFileName", "Pick another", dir, "");
            eq([r.name, r.data], ["getOpenFileNameError", {uuid: r.uuid, code: 609}], "cancelled open dialog");
            console.warn("SAVE 1");
            r = await call(shell, "getSaveFileName", "Save as", dir, "Text (*.txt)");
            eq([r.name, r.data], ["getSaveFileNameFinish",
               {uuid: r.uuid, filepath: dir + "/new.txt", filename: "new.txt", filedir: dir, size: 0}],
               "new file to save");
            console.warn("SAVE 2");
            r = await call(shell, "getSaveFileName", "Save elsewhere", dir, "");
            eq([r.name, r.data], ["getSaveFileNameError", {uuid: r.uuid, code: 609}], "cancelled save dialog");
        """ % {"docs": repr(docs)})})
        proc = self.shell.start()
        try:
            self.assertTrue(self.wait_log(proc, "js: OPEN 1"), self.shell.read_log()[-2000:])
            self.drive_dialog(proc, "Pick one", ["type", "--delay", "30", chosen], ["key", "Return"])
            self.assertTrue(self.wait_log(proc, "js: OPEN 2"), self.shell.read_log()[-2000:])
            self.drive_dialog(proc, "Pick another", ["key", "Escape"])
            self.assertTrue(self.wait_log(proc, "js: SAVE 1"), self.shell.read_log()[-2000:])
            self.drive_dialog(proc, "Save as", ["type", "--delay", "30", new_file], ["key", "Return"])
            self.assertTrue(self.wait_log(proc, "js: SAVE 2"), self.shell.read_log()[-2000:])
            self.drive_dialog(proc, "Save elsewhere", ["key", "Escape"])
            self.assertEqual(proc.wait(60), 0, self.shell.read_log()[-3000:])
        finally:
            if proc.poll() is None:
                os.killpg(proc.pid, signal.SIGKILL)
            proc.communicate()
        log = self.shell.read_log()
        for name in ("chosen file", "cancelled open dialog", "new file to save", "cancelled save dialog"):
            self.assertIn("js: PASS %s\r\n" % name, log, log[-3000:])
        self.assertFalse(os.path.exists(new_file))


if __name__ == "__main__":
    unittest.main()
