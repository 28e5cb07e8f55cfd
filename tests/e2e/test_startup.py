"""Start-up as a user meets it: the relaunch with the web engine switch, the
window from the configuration, the log file, the storage folders and bad
command lines."""

import os
import re
import signal
import time
import unittest

from harness import ShellTestCase, page

LOG_LINE = re.compile(r"^\[(debug|info|warning|critical|fatal)\] [^:]+: .*$", re.S)


def processes_of(exe):
    """(pid, argv, cwd) of every running process of the executable."""
    found = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            if os.readlink("/proc/%s/exe" % pid) != exe:
                continue
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                argv = [a.decode() for a in f.read().split(b"\0")[:-1]]
            found.append((int(pid), argv, os.readlink("/proc/%s/cwd" % pid)))
        except OSError:
            continue
    return found


class StartupTest(ShellTestCase):

    def test_window_from_configuration_and_page_reaches_shell(self):
        self.shell.config("[visual]\nProductName=Kurs Demo\n")
        self.shell.course({"index.html": page("""
            console.warn("SIZE " + window.innerWidth + "x" + window.innerHeight);
            await new Promise(function (r) { setTimeout(r, 60000); });
        """)})
        windows = []

        def sized(log):
            nonlocal windows
            if "SIZE " not in log:
                return False
            windows = self.shell.x_windows()
            return True

        run = self.shell.run(until=sized, timeout=90)
        self.assertIn("[warning] js: SIZE 1024x768\r\n", run.log, run.stderr)
        self.assertIn(("Kurs Demo", 1024, 768), windows)

    def test_configured_size(self):
        self.shell.config("[visual]\nStageX=800\nStageY=600\n")
        self.shell.course({"index.html": page("""
            console.warn("SIZE " + window.innerWidth + "x" + window.innerHeight);
        """)})
        run = self.shell.run()
        self.assertIn("[warning] js: SIZE 800x600\r\n", run.log)
        self.assertPagePassed(run)

    def test_log_appends_across_runs_in_line_format(self):
        self.shell.course({"index.html": page("report(true, 'ran');")})
        first = self.shell.run()
        self.assertPagePassed(first)
        second = self.shell.run()
        self.assertPagePassed(second)
        log = second.log
        self.assertTrue(log.startswith(first.log))
        self.assertEqual(log.count("[warning] js: DONE\r\n"), 2)
        self.assertTrue(log.endswith("\r\n"))
        for line in log.split("\r\n")[:-1]:
            self.assertRegex(line, LOG_LINE)
            self.assertNotIn("\n", line)

    def test_exit_code_from_page_and_storage_folders(self):
        self.shell.config("[storage]\npath=mine\n")
        self.shell.course({"index.html": page("shell.exitApplication(newUuid(), 7);")})
        run = self.shell.run()
        self.assertEqual(run.returncode, 7, run.stderr)
        self.assertTrue(os.path.isdir(os.path.join(self.shell.data_dir, "mine")))
        self.assertTrue(os.path.isdir(self.shell.contents_dir))

    def test_default_storage_folder(self):
        self.shell.course({"index.html": page("report(true, 'ran');")})
        run = self.shell.run()
        self.assertPagePassed(run)
        self.assertTrue(os.path.isdir(os.path.join(self.shell.data_dir, "storage")))

    def test_relaunch_adds_switch(self):
        self.shell.course({"index.html": page("await new Promise(function (r) { setTimeout(r, 60000); });")})
        proc = self.shell.start(["--open-uri=x"])
        try:
            self.assertEqual(proc.wait(60), 0)
            children = []
            deadline = time.time() + 30
            while time.time() < deadline and not children:
                children = processes_of(self.shell.exe)
                time.sleep(0.1)
            self.assertEqual(len(children), 1, children)
            _pid, argv, cwd = children[0]
            self.assertEqual(argv[1:], [self.shell.exe, "--open-uri=x", "--disable-web-security"])
            self.assertEqual(cwd, self.shell.prog)
        finally:
            for pid, _argv, _cwd in processes_of(self.shell.exe):
                os.kill(pid, signal.SIGKILL)

    def test_switch_in_capitals_anywhere_means_no_relaunch(self):
        self.shell.course({"index.html": page("report(true, 'ran');")})
        run = self.shell.run(["--open-uri=lesson://a", "--DISABLE-WEB-SECURITY"])
        self.assertPagePassed(run)
        self.assertEqual(processes_of(self.shell.exe), [])

    def test_unusable_log_location_leaves_program_running(self):
        blocker = os.path.join(self.shell.root, "blocker")
        with open(blocker, "w") as f:
            f.write("a file where a folder should be")
        self.shell.extra_env["XDG_DATA_HOME"] = os.path.join(blocker, "data")
        self.shell.course({"index.html": page("shell.exitApplication(newUuid(), 5);")})
        run = self.shell.run()
        self.assertEqual(run.returncode, 5, run.stderr)
        self.assertIn("Application logs path can not be created", run.stderr)
        self.assertIn("Log file cannot be opened at '%s/data/Ravozadar/Daveri/appLogs.txt'" % blocker,
                      run.stderr)

    def test_odd_command_lines_do_not_crash(self):
        self.shell.course({"index.html": page("report(true, 'ran');")})
        odd = ["--disable-web-security", "--open-uri", "--open-uri=", "--OPEN-URI=x", "-", "--",
               "--open-uri=" + "a" * 20000, "\u00e9\u00e8\u4e2d", "--open-uri=%00%ff", ""]
        run = self.shell.run(odd)
        self.assertPagePassed(run)


if __name__ == "__main__":
    unittest.main()
