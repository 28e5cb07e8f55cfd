"""The key-value store and SQL commands driven from a page in the real
program, with the database file checked from outside the program."""

import base64
import os
import signal
import sqlite3
import time
import unittest

from harness import ShellTestCase, page



def shifted(key):
    return "".join(chr((ord(c) + 3) % 65536) for c in key)


class StorageTest(ShellTestCase):

    @property
    def store_path(self):
        return os.path.join(self.shell.data_dir, "storage", "temp")

    def outside(self):
        db = sqlite3.connect(self.store_path, timeout=30)
        self.addCleanup(db.close)
        return db

    def test_commands_and_edge_cases(self):
        self.shell.course({"index.html": page(r"""
            // Before any store is open every command fails with its own event.
            var r;
            for (var c of [["dbTransaction", "dbTransactionError"], ["dbCommit", "dbCommitError"],
                           ["dbRollback", "dbRollbackError"]]) {
                r = await call(shell, c[0]);
                eq([r.name, r.data], [c[1], {uuid: r.uuid}], c[0] + " before open");
            }
            r = await call(shell, "saveDBItem", "k", "v");
            eq(r.name, "saveDBItemError", "saveDBItem before open");
            r = await call(shell, "loadDBItem", "k");
            eq([r.name, r.data], ["loadDBItemDone", {uuid: r.uuid}], "loadDBItem before open");
            r = await call(shell, "saveDBItems", {k: "v"});
            eq(r.name, "saveDBItemsError", "saveDBItems before open");
            r = await call(shell, "loadDBItems", ["k"]);
            eq([r.name, r.data.data], ["loadDBItemsDone", {}], "loadDBItems before open");
            r = await call(shell, "removeDBItems", ["k"]);
            eq(r.name, "removeDBItemsError", "removeDBItems before open");
            r = await call(shell, "getDBKeys", "");
            eq([r.name, r.data], ["getDBKeysError", {uuid: r.uuid}], "getDBKeys before open");
            r = await call(shell, "dbSql", "select 1", []);
            eq([r.name, r.data], ["dbSqlFail", {uuid: r.uuid}], "dbSql before open");
            r = await call(shell, "dbSqlBatch", "select 1", [[]]);
            eq(r.name, "dbSqlBatchFail", "dbSqlBatch before open");

            r = await call(shell, "initialize");
            eq([r.name, r.data.version], ["initializeDone", {semver: "1.3.0"}], "initialize");

            // Missing key: no "data"; empty value: "data" is "".
            r = await call(shell, "loadDBItem", "never");
            eq([r.name, r.data], ["loadDBItemDone", {uuid: r.uuid}], "missing key has no data");
            r = await call(shell, "saveDBItem", "blank", "");
            eq(r.name, "saveDBItemDone", "save empty value");
            r = await call(shell, "loadDBItem", "blank");
            eq(r.data, {uuid: r.uuid, data: ""}, "empty value comes back as data");

            await call(shell, "saveDBItem", "a", "first");
            r = await call(shell, "saveDBItem", "a", "x");
            eq(r.data, {uuid: r.uuid}, "saveDBItemDone carries uuid only");
            r = await call(shell, "loadDBItem", "a");
            eq(r.data.data, "x", "second save replaces the first");

            var items = {number: 3.5, "price$": "p", "O'Brien": "o", "": "empty key",
                         ab: 1, xaby: 2, "50%": 3, "a_c": 4, "a-c": 5, "東京": "Grüße"};
            r = await call(shell, "saveDBItems", items);
            eq([r.name, r.data], ["saveDBItemsDone", {uuid: r.uuid}], "saveDBItems");
            r = await call(shell, "loadDBItems", ["number", "price$", "O'Brien", "", "東京", "missing"]);
            eq([r.name, r.data.data], ["loadDBItemsDone",
               {number: "3.5", "price$": "p", "O'Brien": "o", "": "empty key", "東京": "Grüße"}],
               "loadDBItems returns the found keys, odd keys included");

            var patterns = [["ab", ["ab", "xaby"]], ["%", ["50%"]], ["a_", ["a_c"]],
                            ['a"c', ["a-c", "a_c"]], ["a\\c", ["a-c", "a_c"]], ["zz", []]];
            for (var p of patterns) {
                r = await call(shell, "getDBKeys", p[0]);
                eq([r.name, r.data.data.sort()], ["getDBKeysFinish", p[1].sort()], "getDBKeys " + p[0]);
            }
            r = await call(shell, "getDBKeys", "");
            eq(r.data.data.sort(), ["", "50%", "O'Brien", "a", "a-c", "a_c", "ab", "blank", "number",
                                    "price$", "xaby", "東京"].sort(), "empty pattern lists every key");

            r = await call(shell, "removeDBItems", ["price$", "O'Brien", "", "not there"]);
            eq([r.name, r.data], ["removeDBItemsFinish", {uuid: r.uuid}], "removeDBItems with odd keys");
            r = await call(shell, "loadDBItems", ["price$", "O'Brien", "", "number"]);
            eq(r.data.data, {number: "3.5"}, "removed keys are gone, others stay");

            r = await call(shell, "dbSql", "select 1 as one", []);
            eq([r.name, r.data.data], ["dbSqlDone", [{one: 1}]], "select 1 as one");
            r = await call(shell, "dbSql", "selec 1", []);
            eq([r.name, r.data], ["dbSqlFail", {uuid: r.uuid}], "invalid statement");
            r = await call(shell, "dbSql", "create table t(id integer primary key, note text)", []);
            eq([r.name, r.data.data], ["dbSqlDone", []], "statement without rows");
            r = await call(shell, "dbSqlBatch", "insert into t values (?, ?)", [[1, "a"], [1, "b"], [2, "c"]]);
            eq([r.name, r.data], ["dbSqlBatchFail", {uuid: r.uuid}], "batch with a constraint violation");
            r = await call(shell, "dbSqlBatch", "select note from t where id = ?", [[1], [2]]);
            eq([r.name, r.data.data], ["dbSqlBatchDone", [[{note: "a"}], []]], "runs before the failure stay");

            r = await call(shell, "dbTransaction");
            eq(r.name, "dbTransactionFinish", "begin");
            await call(shell, "dbSql", "insert into t values (3, 'rolled back')", []);
            await call(shell, "saveDBItem", "tx", "gone");
            r = await call(shell, "dbRollback");
            eq(r.name, "dbRollbackFinish", "rollback");
            r = await call(shell, "dbRollback");
            eq(r.name, "dbRollbackError", "rollback without a transaction");
            r = await call(shell, "dbTransaction");
            await call(shell, "dbSql", "insert into t values (4, 'kept')", []);
            r = await call(shell, "dbCommit");
            eq(r.name, "dbCommitFinish", "commit");
            r = await call(shell, "dbCommit");
            eq(r.name, "dbCommitError", "commit without a transaction");
            r = await call(shell, "dbSql", "select id, note from t order by id", []);
            eq(r.data.data, [{id: 1, note: "a"}, {id: 4, note: "kept"}], "rollback and commit");
            r = await call(shell, "loadDBItem", "tx");
            eq(r.data, {uuid: r.uuid}, "rolled back item is absent");
            r = await call(shell, "finalize");
            eq([r.name, r.data], ["finalizeDone", {uuid: r.uuid}], "finalize");
        """)})
        run = self.shell.run(timeout=120)
        self.assertPagePassed(run)

        db = self.outside()
        stored = dict(db.execute("select key, value from stored_values"))
        self.assertIn("d", stored)          # the key a, shifted
        self.assertNotIn("a", stored)
        cipher = base64.b64decode(stored["d"], validate=True)
        self.assertEqual(cipher[0], 3)      # cipher version byte
        self.assertNotEqual(stored["d"], "x")
        self.assertNotIn(shifted("tx"), stored)
        self.assertIn(shifted("東京"), stored)
        self.assertNotIn(shifted("O'Brien"), stored)
        self.assertEqual(list(db.execute("select id, note from t order by id")), [(1, "a"), (4, "kept")])

    def test_many_commands_at_once(self):
        self.shell.course({"index.html": page(r"""
            await call(shell, "initialize");
            await call(shell, "dbSql", "create table log(n integer)", []);
            var ROUNDS = 40, ITEMS = 50;
            var pending = [], expected = {};
            for (var r = 0; r < ROUNDS; r++) {
                var items = {};
                for (var i = 0; i < ITEMS; i++) {
                    items["r" + r + "-" + i] = "v" + r + "-" + i;
                    expected["r" + r + "-" + i] = "v" + r + "-" + i;
                }
                pending.push(call(shell, "saveDBItems", items));
                pending.push(call(shell, "loadDBItems", ["r" + r + "-0", "ui-" + r]));
                pending.push(call(shell, "getDBKeys", "r" + r + "-"));
                pending.push(call(shell, "saveDBItem", "ui-" + r, "" + r));
                pending.push(call(shell, "loadDBItem", "ui-" + r));
                pending.push(call(shell, "dbSql", "insert into log values (?)", [r]));
                if (r % 2) pending.push(call(shell, "removeDBItems", ["ui-" + r]));
                else expected["ui-" + r] = "" + r;
            }
            var answers = await Promise.all(pending);
            var bad = answers.filter(function (a) { return !/(Done|Finish)$/.test(a.name); });
            eq(bad.map(function (a) { return a.name; }), [], "every command succeeded");
            var loads = answers.filter(function (a) { return a.name === "loadDBItemDone"; });
            eq(loads.filter(function (a) { return a.data.data === undefined; }).length, 0,
               "each loadDBItem sees the save issued before it");

            await sleep(1000);
            var counts = {};
            shellEvents.forEach(function (e) { if (e.data && e.data.uuid) counts[e.data.uuid] = (counts[e.data.uuid] || 0) + 1; });
            eq(answers.filter(function (a) { return counts[a.uuid] !== 1; }).length, 0,
               "every command answered exactly once");

            var all = await call(shell, "loadDBItems", Object.keys(expected));
            eq(all.data.data, expected, "stored data are consistent");
            var keys = await call(shell, "getDBKeys", "");
            eq(keys.data.data.length, Object.keys(expected).length, "no extra keys");
            var log = await call(shell, "dbSql", "select count(*) as c from log", []);
            eq(log.data.data, [{c: ROUNDS}], "every SQL insert landed once");
        """)})
        run = self.shell.run(timeout=180)
        self.assertPagePassed(run)
        db = self.outside()
        self.assertEqual(db.execute("select count(*) from stored_values").fetchone()[0], 40 * 50 + 20)
        self.assertEqual(db.execute("select count(*) from log").fetchone()[0], 40)
        self.assertEqual(db.execute("pragma integrity_check").fetchone()[0], "ok")

    def test_worker_commands_inside_a_transaction(self):
        self.shell.course({"index.html": page(r"""
            await call(shell, "initialize");
            for (var end of ["dbRollback", "dbCommit"]) {
                var r = await call(shell, "dbTransaction");
                eq(r.name, "dbTransactionFinish", end + ": begin");
                await call(shell, "saveDBItem", "page-" + end, "p");
                r = await call(shell, "saveDBItems", {["batch-" + end]: 1});
                eq([r.name, r.data], ["saveDBItemsDone", {uuid: r.uuid}], end + ": saveDBItems inside");
                r = await call(shell, "loadDBItems", ["page-" + end, "batch-" + end]);
                eq(r.data.data, {["page-" + end]: "p", ["batch-" + end]: "1"}, end + ": loads see the transaction");
                r = await call(shell, "getDBKeys", "-" + end);
                eq(r.data.data.sort(), ["batch-" + end, "page-" + end], end + ": keys see the transaction");
                r = await call(shell, end);
                eq(r.name, end + "Finish", end);
            }
            r = await call(shell, "getDBKeys", "-db");
            eq(r.data.data.sort(), ["batch-dbCommit", "page-dbCommit"], "commit keeps, rollback undoes");
        """)})
        run = self.shell.run(timeout=120)
        self.assertPagePassed(run)
        db = self.outside()
        keys = sorted(k for (k,) in db.execute("select key from stored_values"))
        self.assertEqual(keys, sorted([shifted("batch-dbCommit"), shifted("page-dbCommit")]))

    def test_killed_during_large_save(self):
        seed_and_flood = page(r"""
            var r = await call(shell, "initialize");
            var seed = {};
            for (var i = 0; i < 1000; i++) seed["seed-" + i] = "value-" + i;
            r = await call(shell, "saveDBItems", seed);
            report(r.name === "saveDBItemsDone", "seeded", r.name);
            var big = {}, filler = "x".repeat(100);
            for (var i = 0; i < 300000; i++) big["big-" + i] = "payload-" + i + "-" + filler;
            console.warn("FLOODING");
            shell.saveDBItems(newUuid(), big);
            await new Promise(function (res) { setTimeout(res, 120000); });
        """)
        self.shell.course({"index.html": seed_and_flood})
        proc = self.shell.start()
        journal = self.store_path + "-journal"
        try:
            deadline = time.time() + 90
            while time.time() < deadline and "js: FLOODING" not in self.shell.read_log():
                self.assertIsNone(proc.poll(), self.shell.read_log()[-2000:])
                time.sleep(0.1)
            self.assertIn("js: PASS seeded", self.shell.read_log())
            # The batch's transaction keeps a journal from its first written
            # page to its commit: kill the program inside that window.
            deadline = time.time() + 90
            while time.time() < deadline and not os.path.exists(journal):
                time.sleep(0.002)
            self.assertTrue(os.path.exists(journal), "the large batch never started writing")
        finally:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.communicate()
        self.assertTrue(os.path.exists(journal), "killed after the batch had committed")

        self.shell.course({"index.html": page(r"""
            var r = await call(shell, "initialize");
            eq(r.name, "initializeDone", "store opens after the crash");
            r = await call(shell, "dbSql", "PRAGMA integrity_check", []);
            eq(r.data.data, [{integrity_check: "ok"}], "integrity check");
            var keys = [], expected = {};
            for (var i = 0; i < 1000; i++) { keys.push("seed-" + i); expected["seed-" + i] = "value-" + i; }
            r = await call(shell, "loadDBItems", keys);
            eq(r.data.data, expected, "earlier data intact");
            r = await call(shell, "getDBKeys", "big-");
            eq(r.data.data.length, 0, "the interrupted batch left nothing");
        """)})
        run = self.shell.run(timeout=120)
        self.assertPagePassed(run)
        db = self.outside()
        self.assertEqual(db.execute("pragma integrity_check").fetchone()[0], "ok")
        self.assertEqual(db.execute("select count(*) from stored_values").fetchone()[0], 1000)


if __name__ == "__main__":
    unittest.main()
