"""Serving the course: the start page redirect onto the "dazuzo" scheme,
page-relative resources, missing and damaged entries, media through
temporary copies, and directory mode with marked media."""

import os
import re
import shutil
import unittest
import zipfile

from harness import ShellTestCase, page, pack_zip

MARKER = bytes.fromhex("308DFF1742688B4D")
SOUND = bytes(range(256)) * 900          # only the bytes matter here


def wav_bytes(seconds=0.5, rate=8000):
    """A short silent mono WAV file."""
    import io
    import wave
    buf = io.BytesIO()
    with wave.open(buf, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(1)
        w.setframerate(rate)
        w.writeframes(bytes([128]) * int(seconds * rate))
    return buf.getvalue()


WAV = wav_bytes()
UUID_NAME = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$")
PNG_1x1 = bytes.fromhex(
    "89504e470d0a1a0a0000000d4948445200000001000000010806000000"
    "1f15c4890000000d49444154789c6360f8cfc0f01f0005000201a5f6"
    "5a1c0000000049454e44ae426082")

XHR_LIB = r"""
function xhr(method, url, binary) {
    return new Promise(function (resolve) {
        var r = new XMLHttpRequest();
        r.open(method, url);
        if (binary) r.responseType = "arraybuffer";
        r.onload = function () { resolve({ ok: true, status: r.status, url: r.responseURL,
            type: r.getResponseHeader("Content-Type"), body: binary ? new Uint8Array(r.response) : r.responseText }); };
        r.onerror = function () { resolve({ ok: false, status: r.status, url: r.responseURL }); };
        r.send(method === "POST" ? "x=1" : null);
    });
}
function sum(bytes) { var s = 0; for (var i = 0; i < bytes.length; i++) s = (s + bytes[i] * (i % 251 + 1)) % 1000000007; return s; }
"""


def checksum(data):
    s = 0
    for i, b in enumerate(data):
        s = (s + b * (i % 251 + 1)) % 1000000007
    return s


ARCHIVE_PAGE = XHR_LIB + r"""
same(location.href, "dazuzo:/wrapper/wrapper/index.html?backend=desktop&platform=win", "start page on dazuzo");
same(window.subScriptLoaded, true, "relative script");
var img = document.getElementById("pic");
await new Promise(function (r) { if (img.complete) r(); else img.onload = img.onerror = r; });
same(img.naturalWidth, 1, "relative image");

var text = await xhr("GET", "data/info.txt");
same([text.ok, text.body], [true, "info text"], "relative XMLHttpRequest");
var html = await xhr("GET", "index.html");
check(/^text\/html/.test(html.type), "index.html served as text/html", html.type);

var viaFile = await xhr("GET", "file:///wrapper/wrapper/data/info.txt?q=1#frag");
same([viaFile.body, viaFile.url], ["info text", "dazuzo:/wrapper/wrapper/data/info.txt?q=1"],
     "file request redirected with query, without fragment");
var noQuery = await xhr("GET", "file:///wrapper/wrapper/data/info.txt");
same(noQuery.url, "dazuzo:/wrapper/wrapper/data/info.txt?", "file request without query keeps an empty query");

var missing = await xhr("GET", "data/missing.txt");
same(missing.ok && missing.status === 200, false, "missing entry is not served");

// Media entries reach the player through a temporary copy on disk; the test
// looks at the copy while the page holds the audio.
var audio = new Audio();
var loaded = await new Promise(function (resolve) {
    audio.onloadedmetadata = function () { resolve(true); };
    audio.onerror = function () { resolve(false); };
    audio.src = "media/sound.wav";
});
same(loaded, true, "audio entry plays");
check(Math.abs(audio.duration - 0.5) < 0.01, "audio duration", audio.duration);
console.warn("AUDIO LOADED");
await waitFor("never", undefined, 2500).catch(function () {});
"""


class ArchiveServingTest(ShellTestCase):

    def course_files(self):
        return {
            "index.html": page(ARCHIVE_PAGE).replace(
                "<body>", "<body><img id='pic' src='img/p.png'><script src='js/sub.js'></script>"),
            "js/sub.js": "window.subScriptLoaded = true;",
            "img/p.png": PNG_1x1,
            "data/info.txt": "info text",
            "media/sound.wav": WAV,
        }

    def run_and_check(self):
        tmp = self.shell.extra_env["TMPDIR"]
        copies = []

        def audio_loaded(log):
            if "js: AUDIO LOADED" not in log or copies:
                return False
            for name in os.listdir(tmp):
                with open(os.path.join(tmp, name), "rb") as f:
                    copies.append((name, f.read()))
            return False  # let the page finish

        run = self.shell.run(until=audio_loaded)
        self.assertPagePassed(run)
        media = [(n, c) for n, c in copies if UUID_NAME.match(n)]
        self.assertEqual(len(media), 1, [n for n, _ in copies])
        self.assertEqual(media[0][1], WAV)
        # The temporary copy went with the program.
        self.assertFalse(os.path.exists(os.path.join(tmp, media[0][0])))

    def setUp(self):
        super().setUp()
        tmp = os.path.join(self.shell.root, "tmp")
        os.makedirs(tmp)
        self.shell.extra_env["TMPDIR"] = tmp

    def test_encrypted_zip(self):
        self.shell.course(self.course_files(), encrypted=True)
        self.run_and_check()

    def test_plain_zip(self):
        self.shell.config("[wrapper]\nencrypted=false\n")
        self.shell.course(self.course_files(), encrypted=False)
        self.run_and_check()

    def test_damaged_entry_fails_only_its_request(self):
        self.shell.config("[wrapper]\nencrypted=false\n")
        src = self.shell.course({"index.html": page(XHR_LIB + r"""
            var bad = await xhr("GET", "bad.txt");
            same(bad.ok && bad.status === 200, false, "damaged entry fails");
            var good = await xhr("GET", "good.txt");
            same(good.body, "good", "other entries still served");
        """), "good.txt": "good"}, encrypted=False)
        archive = os.path.join(self.shell.prog, "data.bin")
        with zipfile.ZipFile(archive, "a") as z:
            z.writestr("wrapper/wrapper/bad.txt", b"x" * 1000)
        # Mark the entry as encrypted: without a password it cannot be opened.
        data = bytearray(open(archive, "rb").read())
        name = b"wrapper/wrapper/bad.txt"
        for signature, flags_at in ((b"PK\x03\x04", 6), (b"PK\x01\x02", 8)):
            pos = data.find(signature)
            while pos >= 0:
                name_at = pos + (30 if signature == b"PK\x03\x04" else 46)
                if data[name_at:name_at + len(name)] == name:
                    data[pos + flags_at] |= 1
                pos = data.find(signature, pos + 4)
        open(archive, "wb").write(bytes(data))
        run = self.shell.run()
        self.assertPagePassed(run, allowed_warnings=("Cannot open archive entry 'wrapper/wrapper/bad.txt'",))

    def test_missing_archive_ends_with_fatal_line(self):
        self.shell.course({"index.html": page("")}, archive_name="elsewhere.bin")
        run = self.shell.run(timeout=60)
        self.assertNotEqual(run.returncode, 0)
        self.assertIsNotNone(run.returncode)
        self.assertRegex(run.stderr, r"Archive error, code: -?\d+, message: \.\n")
        self.assertRegex(run.log, r"\[fatal\] default: Archive error, code: -?\d+, message: \.\r\n")


DIRECTORY_PAGE = XHR_LIB + r"""
var base = location.href.split("/wrapper/wrapper/")[0];
same(location.href, base + "/wrapper/wrapper/index.html?backend=desktop&platform=win", "start page forwarded");
var fromDrive = await xhr("GET", "file:///C:/wrapper/wrapper/data/info.txt");
same(fromDrive.body, "info text", "drive letter dropped when forwarding");
var marked = await xhr("GET", "media/marked.mp4", true);
console.warn("MARKED " + marked.url + " " + marked.body.length + " " + sum(marked.body));
var again = await xhr("GET", "media/marked.mp4", true);
same(again.url, marked.url, "repeated request uses the same copy");
var plain = await xhr("GET", "media/plain.mp4", true);
same([plain.url, plain.body.length], [base + "/wrapper/wrapper/media/plain.mp4", 900], "unmarked media served as is");
"""


class DirectoryServingTest(ShellTestCase):

    def test_directory_mode(self):
        tmp = os.path.join(self.shell.root, "tmp")
        os.makedirs(tmp)
        self.shell.extra_env["TMPDIR"] = tmp
        self.shell.config("[wrapper]\ninterceptor=ForwardRequestInterceptor\n")
        src = self.shell.course({
            "index.html": page(DIRECTORY_PAGE),
            "data/info.txt": "info text",
            "media/marked.mp4": MARKER + SOUND,
            "media/plain.mp4": b"p" * 900,
        })
        os.remove(os.path.join(self.shell.prog, "data.bin"))
        shutil.copytree(os.path.join(src, "wrapper"), os.path.join(self.shell.prog, "wrapper"))
        # Directory mode still opens the archive reader: give it a small zip.
        with zipfile.ZipFile(os.path.join(self.shell.prog, "data.bin"), "w") as z:
            z.writestr("unused.txt", "unused")
        run = self.shell.run()
        self.assertPagePassed(run)
        m = re.search(r"\[warning\] js: MARKED (\S+) (\d+) (\d+)\r\n", run.log)
        self.assertTrue(m, run.log[-2000:])
        self.assertRegex(m.group(1), "^file://%s/[^/]+-marked\\.mp4$" % re.escape(tmp))
        self.assertEqual((int(m.group(2)), int(m.group(3))), (len(SOUND), checksum(SOUND)))


if __name__ == "__main__":
    unittest.main()
