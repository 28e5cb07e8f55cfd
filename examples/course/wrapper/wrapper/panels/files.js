// Files: the shell's directories, item info, copies (also out of the course
// archive) and deletion below the contents directory.
Demo.addPanel("Files", function (root) {
    var dirs = Demo.fieldset(root, "Directories");
    var dirsOut = Demo.output(dirs);
    Demo.button(dirs, "Show directories", function () {
        Demo.showAnswer(Demo.call("fsContentsRootPath"), dirsOut);
    });

    var info = Demo.fieldset(root, "Item info (paths below the contents directory)");
    var infoPath = Demo.field(info, "Path", "/demo/copy-of-logo.svg");
    var infoOut = Demo.output(info);
    Demo.button(info, "Info", function () {
        Demo.showAnswer(Demo.call("fsItemsInfo", { item: infoPath.value }), infoOut);
    });

    var copy = Demo.fieldset(root, "Copy");
    var from = Demo.field(copy, "From", "/wrapper/wrapper/logo.svg");
    var to = Demo.field(copy, "To", "demo/copy-of-logo.svg");
    var location = Demo.field(copy, "Location", "local");
    var type = Demo.field(copy, "Type", "normal");
    var copyOut = Demo.output(copy);
    Demo.button(copy, "Copy", function () {
        var item = { from: from.value, to: to.value, location: location.value, type: type.value };
        Demo.showAnswer(Demo.call("fsItemsCopy", { item: item }), copyOut);
    });

    var del = Demo.fieldset(root, "Delete (below the contents directory)");
    var delPath = Demo.field(del, "Path", "/demo");
    var delOut = Demo.output(del);
    Demo.button(del, "Delete", function () {
        Demo.showAnswer(Demo.call("fsItemsDelete", { item: delPath.value }), delOut);
    });
});
