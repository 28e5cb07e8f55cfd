// Storage: the shell's key-value store (values are enciphered in the file)
// and plain SQL on the same database.
Demo.addPanel("Storage", function (root) {
    var open = Demo.fieldset(root, "Store");
    open.appendChild(Demo.el("p", {}, "The store opens with \"initialize\" (the default file) or with " +
        "initializePlugin(\"Storage\", {path}) for a file of your choice."));
    var openOut = Demo.output(open);
    Demo.button(open, "initialize", function () {
        Demo.showAnswer(Demo.call("initialize"), openOut);
    });
    var path = Demo.field(open, "Path", "");
    Demo.button(open, "Open at path", function () {
        var params = path.value ? { path: path.value } : {};
        Demo.showAnswer(Demo.call("initializePlugin", "Storage", params), openOut);
    });

    var kv = Demo.fieldset(root, "Key and value");
    var key = Demo.field(kv, "Key", "lesson-1/answer");
    var value = Demo.field(kv, "Value", "forty-two");
    var kvOut = Demo.output(kv);
    Demo.button(kv, "Save", function () {
        Demo.showAnswer(Demo.call("saveDBItem", key.value, value.value), kvOut);
    });
    Demo.button(kv, "Load", function () {
        Demo.showAnswer(Demo.call("loadDBItem", key.value), kvOut);
    });
    Demo.button(kv, "Remove", function () {
        Demo.showAnswer(Demo.call("removeDBItems", [key.value]), kvOut);
    });

    var many = Demo.fieldset(root, "Several items (one key=value per line)");
    var lines = Demo.el("textarea", { rows: "4", cols: "40" });
    lines.value = "lesson-1/score=7\nlesson-2/score=9\nlesson-2/done=true";
    many.appendChild(lines);
    var manyOut = Demo.output(many);
    function parsed() {
        var items = {};
        lines.value.split("\n").forEach(function (line) {
            var at = line.indexOf("=");
            if (at > 0)
                items[line.slice(0, at)] = line.slice(at + 1);
        });
        return items;
    }
    Demo.button(many, "Save all", function () {
        Demo.showAnswer(Demo.call("saveDBItems", parsed()), manyOut);
    });
    Demo.button(many, "Load all", function () {
        Demo.showAnswer(Demo.call("loadDBItems", Object.keys(parsed())), manyOut);
    });

    var list = Demo.fieldset(root, "List keys");
    var pattern = Demo.field(list, "Containing", "lesson-");
    var listOut = Demo.output(list);
    Demo.button(list, "List", function () {
        Demo.showAnswer(Demo.call("getDBKeys", pattern.value), listOut);
    });

    var sql = Demo.fieldset(root, "SQL");
    var query = Demo.field(sql, "Statement", "select key, length(value) as size from stored_values");
    var params = Demo.field(sql, "Parameters (JSON list)", "[]");
    var sqlOut = Demo.output(sql);
    Demo.button(sql, "Run", function () {
        var data;
        try {
            data = JSON.parse(params.value || "[]");
        } catch (e) {
            sqlOut.textContent = "Parameters are not JSON: " + e;
            return;
        }
        Demo.showAnswer(Demo.call("dbSql", query.value, data), sqlOut);
    });
    ["dbTransaction", "dbCommit", "dbRollback"].forEach(function (command) {
        Demo.button(sql, command, function () {
            Demo.showAnswer(Demo.call(command), sqlOut);
        });
    });
});
