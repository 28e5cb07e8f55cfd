"""Odd arguments from the page: every command still answers with one of its
events, and nothing the page sends crashes the shell. (Arguments of the
wrong JSON type never reach the shell: the web channel refuses the call and
logs why.)"""

import unittest

from harness import ShellTestCase, page

BAD_INPUT_PAGE = r"""
var long = "x".repeat(100000);
// Odd values of each argument type. Paths stay inside the program's own
// folders: a destructive command must not be pointed at the machine.
var odd = {
    s: ["", "\u0000\ud800", "%00%ff", long, "C:\\Windows\\x", "a/../b", "http://[::1", "dazuzo:/x"],
    m: [{}, {a: null}, {a: {b: [1, 2, {c: null}]}}, {k: long}, {i: {from: 5, to: null}}, {"": ""},
        {i: {from: "", to: "", location: 7, type: []}}, {i: [1, 2]}],
    l: [[], [null], [[1, [2]]], [{a: 1}], [long], [1e308, -1, true]],
    sl: [[], [""], ["'", "$", "\""], [long], ["\u0000"], ["%", "_"]]
};
var commands = {
    initialize: [], finalize: [], fsItemsInfo: ["m"], fsItemsDelete: ["m"], fsItemsCopy: ["m"],
    fsContentsRootPath: [], abortDownloadFile: [], setApplicationState: ["s"],
    getApplicationState: [], dbSql: ["s", "l"], dbSqlBatch: ["s", "l"], dbTransaction: [], dbCommit: [],
    dbRollback: [], zipAddFiles: ["s", "s", "m"], zipReadFiles: ["s", "m"], zipCompressDirectory: ["s", "s"],
    zipListContents: ["s"], zipExtractFiles: ["s", "m"], applicationInfo: [], initializePlugin: ["s", "m"],
    saveDBItem: ["s", "s"], saveDBItems: ["m"], loadDBItem: ["s"], loadDBItems: ["sl"],
    removeDBItems: ["sl"], getDBKeys: ["s"], downloadFile: ["s", "s", "s"], archiveUnzip: ["s", "s"]
};
var unanswered = [];
for (var name in commands) {
    var types = commands[name];
    var rounds = types.length ? 8 : 2;
    for (var k = 0; k < rounds; k++) {
        var args = types.map(function (t, a) { var v = odd[t]; return v[(k + a * 3) % v.length]; });
        var uuid = newUuid();
        var answer = waitEvent(function (n, d) { return d && d.uuid === uuid; }, 20000);
        try {
            shell[name].apply(shell, [uuid].concat(args));
        } catch (error) {
            report(false, name + " threw", String(error));
        }
        var ok = await answer.then(function () { return true; }, function () { return false; });
        if (!ok)
            unanswered.push(name + "#" + k);
        if (name === "downloadFile" || name === "archiveUnzip") {
            // One operation at a time: end a started one before the next.
            shell.abortDownloadFile(newUuid());
            shell.abortArchiveUnzip(newUuid());
            await sleep(100);
        }
    }
}
same(unanswered, [], "every call answered");
// Commands without an answer (aborting an extraction while none runs has
// none) must not end the program either.
shell.abortArchiveUnzip(newUuid());
shell.stateChanged(99);
shell.onWindowClose();
var still = await call(shell, "fsContentsRootPath");
same(still.name, "fsContentsRootPathFinish", "the shell still answers");
"""


class BadInputTest(ShellTestCase):

    def test_every_command_answers_odd_arguments(self):
        self.shell.course({"index.html": page(BAD_INPUT_PAGE)})
        run = self.shell.run(timeout=600)
        # Failing stores, archives, SQL and downloads may log why they failed.
        self.assertPagePassed(run, allowed_warnings=("services.", "content", "bridge.", "default: "))


if __name__ == "__main__":
    unittest.main()
