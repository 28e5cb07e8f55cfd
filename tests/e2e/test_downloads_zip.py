"""Downloads and the zip commands driven from a page in the real program,
against a loopback HTTP server started by the test; the files the page
asked for are checked from outside the program."""

import os
import subprocess
import sys
import unittest
import zipfile

from harness import SOURCE_DIR, ShellTestCase, page

SERVER = os.path.join(SOURCE_DIR, "tests", "support", "http_test_server.py")

PAGE = r"""
var base = BASE_URL;
var contents = (await call(shell, "fsContentsRootPath")).data.contents_root_path;

// Every event of one download, in order, up to its last one.
async function download(url, path, name) {
    var uuid = newUuid();
    var events = [];
    var done = new Promise(function (resolve) {
        shell.invokeJSCall.connect(function listener(n, d) {
            if (d.uuid !== uuid || n.indexOf("fileDownload") !== 0) return;
            events.push([n, d]);
            if (n === "fileDownloadFinish" || n === "fileDownloadError") {
                shell.invokeJSCall.disconnect(listener);
                resolve();
            }
        });
    });
    shell.downloadFile(uuid, url, path, name);
    await done;
    return events;
}

// Sent in small pieces, so the throttle decides what the page sees: one
// progress event past 512,000 bytes and one at the total.
var ev = await download(base + "/slow?size=700000&delay=1", "/dl", "a.bin");
same(ev.map(function (e) { return e[0]; }),
     ["fileDownloadStart", "fileDownloadProgress", "fileDownloadProgress", "fileDownloadFinish"],
     "download event sequence");
same([ev[0][1].total, ev[0][1].progress, ev[0][1].file_name, ev[0][1].file_path], [700000, 0, "a.bin", "/dl"],
     "start fields");
check(ev[1][1].progress >= 512000 && ev[1][1].progress < 700000, "first progress after 512,000 bytes", ev[1][1]);
same(ev[2][1].progress, 700000, "last progress reaches the total");
same(ev[3][1].downloaded_path, "/dl/a.bin", "downloaded path");

// A second download while one runs is refused with the refused call's fields.
var slowUuid = newUuid();
var started = waitFor("fileDownloadStart", slowUuid);
shell.downloadFile(slowUuid, base + "/slow?size=400000&delay=50", "/dl", "slow.bin");
await started;
var refused = await call(shell, "downloadFile", base + "/file?size=10", "/other", "b.bin");
same([refused.name, refused.data.code, refused.data.file_name, refused.data.file_path],
     ["fileDownloadError", 601, "b.bin", "/other"], "601 while running");

// Abort by the page: the abort event carries the abort call's uuid, the
// error 5 the download's.
var abortUuid = newUuid();
var aborted = waitFor("fileDownloadAbort", abortUuid);
var cancelled = waitFor("fileDownloadError", slowUuid);
shell.abortDownloadFile(abortUuid);
same((await aborted).data.file_name, "slow.bin", "abort event");
same((await cancelled).data.code, 5, "abort ends with code 5");

// The error page's body may come first; the download still ends in the
// network code and no file.
ev = await download(base + "/status/404", "/dl", "missing.bin");
var last = ev[ev.length - 1];
same([last[0], last[1].code], ["fileDownloadError", 203], "404 is the network code");
var r;

// Zip: make an archive, list it, read it, unpack it whole and in part.
var zipPath = contents + "/made.zip";
r = await call(shell, "zipAddFiles", zipPath, "create", {
    a: { path: "lesson/one.txt", data: "hello" },
    b: { type: "path", path: "lesson/a.bin", data: contents + "/dl/a.bin" },
    c: { type: "RAW", path: "x", data: "x" }
});
same([r.name, r.data.a, r.data.b, r.data.c], ["zipAddFilesDone", {code: 0}, {code: 0}, {code: -102}],
     "zipAddFiles codes");

r = await call(shell, "zipListContents", zipPath);
same([r.name, r.data.data.map(function (e) { return e.zipPath; })],
     ["zipListContentsDone", ["lesson/one.txt", "lesson/a.bin"]], "zipListContents");
same(r.data.data[1].uncompressedSize, 700000, "listed size");

r = await call(shell, "zipReadFiles", zipPath, { one: "lesson/one.txt", none: "nope" });
same([r.name, r.data.one.code, r.data.none.code], ["zipReadFilesDone", 0, -1000], "zipReadFiles codes");

var unzipUuid = newUuid();
var progress = [];
var unzipDone = new Promise(function (resolve) {
    shell.invokeJSCall.connect(function listener(n, d) {
        if (d.uuid !== unzipUuid) return;
        if (n === "archiveUnzipProgress") progress.push(d.progress);
        if (n === "archiveUnzipFinish" || n === "archiveUnzipError") {
            shell.invokeJSCall.disconnect(listener);
            resolve([n, d]);
        }
    });
});
shell.archiveUnzip(unzipUuid, "/made.zip", "/units/u1");
var end = await unzipDone;
same([end[0], end[1].extracted_path, end[1].file_path, end[1].target_path],
     ["archiveUnzipFinish", "/units/u1", "/made.zip", "/units/u1"], "archiveUnzip finish");
same(progress, [0, 1, 2], "archiveUnzip progress");

r = await call(shell, "archiveUnzip", "/none.zip", "/units/u2");
same([r.name, r.data.code], ["archiveUnzipError", 1], "missing archive");

r = await call(shell, "zipExtractFiles", zipPath, { k: { source: "lesson/one.txt", target: "picked/one.txt" } });
same([r.name, r.data.k], ["zipListContentsDone", { code: 0, path: contents + "/picked/one.txt" }],
     "zipExtractFiles answers as zipListContents");

r = await call(shell, "zipCompressDirectory", "packed.zip", contents + "/units");
same(r.name, "zipCompressDirectoryDone", "zipCompressDirectory");
"""


class DownloadsZipTest(ShellTestCase):

    def setUp(self):
        super().setUp()
        self.server = subprocess.Popen([sys.executable, SERVER], stdout=subprocess.PIPE)
        self.addCleanup(self.server.wait)
        self.addCleanup(self.server.kill)
        self.port = int(self.server.stdout.readline())

    def test_downloads_and_zip_from_page(self):
        base = "'http://127.0.0.1:%d'" % self.port
        self.shell.course({"index.html": page(PAGE.replace("BASE_URL", base))}, encrypted=True)
        run = self.shell.run(timeout=120)
        self.assertPagePassed(run)

        contents = self.shell.contents_dir
        pattern = bytes(i % 251 for i in range(700000))
        with open(os.path.join(contents, "dl", "a.bin"), "rb") as f:
            self.assertEqual(f.read(), pattern)
        self.assertFalse(os.path.exists(os.path.join(contents, "dl", "slow.bin")))
        self.assertFalse(os.path.exists(os.path.join(contents, "other")))
        self.assertFalse(os.path.exists(os.path.join(contents, "dl", "missing.bin")))
        with open(os.path.join(contents, "units", "u1", "lesson", "one.txt"), "rb") as f:
            self.assertEqual(f.read(), b"hello")
        with open(os.path.join(contents, "picked", "one.txt"), "rb") as f:
            self.assertEqual(f.read(), b"hello")
        with zipfile.ZipFile(os.path.join(contents, "packed.zip")) as z:
            self.assertIn("u1/lesson/a.bin", z.namelist())


if __name__ == "__main__":
    unittest.main()
