"""The file commands driven from a page: answers, item codes, copies out of
the archive, and answers arriving before the command call returns."""

import os
import unittest

from harness import ShellTestCase, page

FS_PAGE = r"""
var roots = await call(shell, "fsContentsRootPath");
same(roots.name, "fsContentsRootPathFinish", "contents root answer");
var contents = roots.data.contents_root_path;
same(roots.data.wrapper_access_path, "/wrapper/wrapper/", "wrapper access path");
check(contents.endsWith("/Ravozadar/Daveri/contents"), "contents root path", contents);

// Answer before the call returns: the method's completion callback runs
// after the event has arrived.
await new Promise(function (resolve) {
    var uuid = newUuid();
    var seen = false;
    var w = waitFor("fsContentsRootPathFinish", uuid).then(function () { seen = true; });
    shell.fsContentsRootPath(uuid, function () {
        same(seen || shellEvents.some(function (e) { return e.data.uuid === uuid; }), true,
             "answer arrives before the call returns");
        resolve();
    });
});

var copied = await call(shell, "fsItemsCopy", {
    entry: { from: "/wrapper/wrapper/media/clip.txt", to: "lesson/clip.txt", location: "local" },
    tmp: { from: "/wrapper/wrapper/media/clip.txt", to: "clip-tmp.txt", type: "temporary" },
    upper: { from: "/wrapper/wrapper/media/clip.txt", to: "lesson/upper.txt", location: "LOCAL", type: "Normal" },
    bad: { from: "", to: "x" },
    text: "not an item",
    taken: { from: "/wrapper/wrapper/media/clip.txt", to: "lesson", location: "local" }
});
same(copied.name, "fsItemsCopyFinish", "copy answer");
var e = copied.data.entry;
same([e.code, e.filepath, e.filename, e.filedir, e.size],
     [0, contents + "/lesson/clip.txt", "clip.txt", contents + "/lesson", 12], "copy from the archive");
same(copied.data.upper.code, 0, "location and type in any letter case");
same(copied.data.tmp.code, 0, "temporary copy");
console.warn("TMPCOPY " + copied.data.tmp.filepath);
same(copied.data.bad, { code: 606 }, "empty from is invalid");
same(copied.data.text, { code: 606 }, "a plain string is invalid");
same(copied.data.taken, { code: 605 }, "a directory as destination cannot be written");

var info = await call(shell, "fsItemsInfo", { clip: "/lesson/clip.txt", dir: "/lesson", none: "/nothing" });
same(info.data.clip, { exists: true, file_path: "/lesson/clip.txt", isDir: false, size: 12 }, "info of a file");
same([info.data.dir.isDir, info.data.dir.exists], [true, true], "info of a directory");
same(info.data.none, { exists: false, file_path: "/nothing", isDir: false, size: 0 }, "info of a missing path");

var removed = await call(shell, "fsItemsDelete", { dir: "/lesson", none: "/nothing" });
same(removed.data.dir, { existed: true, file_path: "/lesson", isDeleted: true, isDir: true }, "directory deleted");
same(removed.data.none, { existed: false, file_path: "/nothing" }, "missing path not deleted");
var after = await call(shell, "fsItemsInfo", { dir: "/lesson" });
same(after.data.dir.exists, false, "directory gone");

var empty = await call(shell, "fsItemsInfo", {});
same(Object.keys(empty.data), ["uuid"], "empty paths answer uuid only");
"""


class FileSystemTest(ShellTestCase):

    def test_file_commands_from_page(self):
        self.shell.course({"index.html": page(FS_PAGE), "media/clip.txt": "twelve bytes"}, encrypted=True)
        run = self.shell.run()
        self.assertPagePassed(run)
        tmp_copy = [l for l in run.js_lines() if l.startswith("TMPCOPY ")][0][len("TMPCOPY "):]
        self.assertFalse(os.path.exists(tmp_copy), "temporary copy left behind")


if __name__ == "__main__":
    unittest.main()
