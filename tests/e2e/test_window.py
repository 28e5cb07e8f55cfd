"""The main window as a user meets it: the close button asks the page, the
page's full-screen requests, and the end of the renderer."""

import os
import signal
import time
import unittest

from harness import ShellTestCase, page, close_window, click, renderer_pids

WAIT_FOREVER = "await new Promise(function (r) { setTimeout(r, 120000); });"


class WindowTest(ShellTestCase):


    def window_size(self, title):
        for t, w, h in self.shell.x_windows():
            if t == title:
                return (w, h)
        return None

    def test_close_request_reaches_page_and_window_stays(self):
        self.shell.config("[visual]\nProductName=Closing\n")
        self.shell.course({"index.html": page(r"""
            console.warn("READY");
            var closeEvent = await waitFor("onApplicationClose", undefined, 60000);
            same(closeEvent.data, {}, "close notification is empty");
            console.warn("CLOSE SEEN");
            await new Promise(function (r) { setTimeout(r, 1500); });
        """)})
        proc = self.shell.start()
        try:
            self.assertTrue(self.wait_log(proc, "js: READY"), self.shell.read_log()[-2000:])
            # The window may take a moment to accept client messages after
            # the page is up: ask again until the page has seen one.
            seen = False
            for _ in range(10):
                self.assertTrue(close_window(self.shell.display, "Closing"))
                if self.wait_log(proc, "js: CLOSE SEEN", timeout=3):
                    seen = True
                    break
            self.assertTrue(seen, self.shell.read_log()[-2000:])
            self.assertIsNone(proc.poll())
            self.assertIsNotNone(self.window_size("Closing"))
            self.assertEqual(proc.wait(60), 0)
        finally:
            if proc.poll() is None:
                os.killpg(proc.pid, signal.SIGKILL)
        self.assertIn("[warning] js: PASS close notification is empty\r\n", self.shell.read_log())

    def test_full_screen_follows_page(self):
        self.shell.config("[visual]\nProductName=Screen\n")
        self.shell.start_window_manager()
        self.shell.course({"index.html": page(r"""
            document.body.style.height = "100vh";
            var clicked = new Promise(function (r) { document.addEventListener("click", r, { once: true }); });
            console.warn("READY");
            await clicked;
            await document.documentElement.requestFullscreen();
            await new Promise(function (r) { setTimeout(r, 1500); });
            console.warn("FULL " + window.innerWidth + "x" + window.innerHeight);
            await new Promise(function (r) { setTimeout(r, 1500); });
            await document.exitFullscreen();
            await new Promise(function (r) { setTimeout(r, 1500); });
            console.warn("NORMAL " + window.innerWidth + "x" + window.innerHeight);
            await new Promise(function (r) { setTimeout(r, 1500); });
        """)})
        proc = self.shell.start()
        try:
            self.assertTrue(self.wait_log(proc, "js: READY"), self.shell.read_log()[-2000:])
            time.sleep(0.5)
            click(self.shell.display, 300, 300)
            self.assertTrue(self.wait_log(proc, "js: FULL "), self.shell.read_log()[-3000:])
            self.assertEqual(self.window_size("Screen"), (1280, 1024))
            self.assertTrue(self.wait_log(proc, "js: NORMAL "), self.shell.read_log()[-3000:])
            self.assertEqual(self.window_size("Screen"), (1024, 768))
            self.assertEqual(proc.wait(60), 0)
        finally:
            if proc.poll() is None:
                os.killpg(proc.pid, signal.SIGKILL)
        log = self.shell.read_log()
        self.assertIn("js: FULL 1280x1024\r\n", log)
        self.assertIn("js: NORMAL 1024x768\r\n", log)

    def test_renderer_end_quits_with_zero(self):
        self.shell.course({"index.html": page("console.warn('READY');" + WAIT_FOREVER)})
        proc = self.shell.start()
        try:
            self.assertTrue(self.wait_log(proc, "js: READY"), self.shell.read_log()[-2000:])
            pids = renderer_pids(self.shell.exe)
            self.assertTrue(pids)
            for pid in pids:
                os.kill(pid, signal.SIGKILL)
            self.assertEqual(proc.wait(60), 0)
        finally:
            if proc.poll() is None:
                os.killpg(proc.pid, signal.SIGKILL)


if __name__ == "__main__":
    unittest.main()
