// Zip: unpack a whole archive with progress (and abort), and work on an
// archive entry by entry: add, list, read and extract.
Demo.addPanel("Zip", function (root) {
    var unzip = Demo.fieldset(root, "Unpack a whole archive (paths below the contents directory)");
    var archive = Demo.field(unzip, "Archive", "/demo.zip");
    var target = Demo.field(unzip, "Target folder", "/units/demo");
    var bar = Demo.el("progress", { max: "1", value: "0" });
    var status = Demo.el("span", {}, " idle");
    var current = null;
    Demo.button(unzip, "Unpack", function () {
        current = Demo.call("archiveUnzip", archive.value, target.value);
        status.textContent = " started";
    });
    Demo.button(unzip, "Abort", function () {
        Demo.call("abortArchiveUnzip");
    });
    var row = Demo.el("div");
    row.appendChild(bar);
    row.appendChild(status);
    unzip.appendChild(row);
    Demo.onEvent(function (event, data) {
        if (!data || event.indexOf("archiveUnzip") !== 0)
            return;
        if (event === "archiveUnzipAbort") {
            status.textContent = " aborted";
        } else if (data.uuid === current) {
            if (event === "archiveUnzipProgress") {
                bar.max = Math.max(1, data.total);
                bar.value = data.progress;
                status.textContent = " " + data.progress + " of " + data.total + " entries";
            } else if (event === "archiveUnzipFinish") {
                status.textContent = " unpacked into " + data.extracted_path;
            } else if (event === "archiveUnzipError") {
                status.textContent = " failed with code " + data.code;
            }
        }
    });

    // The entry commands take archive paths as they are: ask the shell
    // for the contents directory once and build absolute paths from it.
    var contents = "";
    var roots = Demo.call("fsContentsRootPath");
    Demo.onEvent(function (event, data) {
        if (data && data.uuid === roots)
            contents = data.contents_root_path;
    });
    function inContents(p) {
        return p.charAt(0) === "/" && p.indexOf(contents) === 0 ? p : contents + "/" + p.replace(/^\//, "");
    }

    var entries = Demo.fieldset(root, "Entries (archive path relative to the contents directory)");
    var zipPath = Demo.field(entries, "Archive", "demo.zip");
    var entryName = Demo.field(entries, "Entry name", "notes/hello.txt");
    var entryText = Demo.field(entries, "Text to add", "Hello from the demo course");
    var out = Demo.output(entries);
    Demo.button(entries, "Create with entry", function () {
        Demo.showAnswer(Demo.call("zipAddFiles", inContents(zipPath.value), "create",
                                  { item: { type: "raw", path: entryName.value, data: entryText.value } }), out);
    });
    Demo.button(entries, "Add entry", function () {
        Demo.showAnswer(Demo.call("zipAddFiles", inContents(zipPath.value), "add",
                                  { item: { type: "raw", path: entryName.value, data: entryText.value } }), out);
    });
    Demo.button(entries, "List", function () {
        Demo.showAnswer(Demo.call("zipListContents", inContents(zipPath.value)), out);
    });
    Demo.button(entries, "Read entry", function () {
        Demo.showAnswer(Demo.call("zipReadFiles", inContents(zipPath.value), { item: entryName.value }), out);
    });
    Demo.button(entries, "Extract entry", function () {
        Demo.showAnswer(Demo.call("zipExtractFiles", inContents(zipPath.value),
                                  { item: { source: entryName.value, target: "extracted/" + entryName.value } }), out);
    });
});
