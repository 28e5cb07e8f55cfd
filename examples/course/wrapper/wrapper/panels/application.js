// Application: closing the window and leaving the course.
Demo.addPanel("Application", function (root) {
    var close = Demo.fieldset(root, "Window");
    close.appendChild(Demo.el("p", {}, "Closing the window asks the course first: the shell sends " +
        "\"onApplicationClose\" and keeps the window open. This course then offers to exit."));
    var about = Demo.fieldset(root, "About and state");
    var aboutOut = Demo.output(about);
    ["applicationInfo", "getApplicationState"].forEach(function (command) {
        Demo.button(about, command, function () {
            Demo.showAnswer(Demo.call(command), aboutOut);
        });
    });
    Demo.button(about, "setApplicationState", function () {
        Demo.showAnswer(Demo.call("setApplicationState", "active"), aboutOut);
    });

    var url = Demo.fieldset(root, "Open with the desktop");
    var address = Demo.field(url, "URL", "https://www.qt.io/");
    var urlOut = Demo.output(url);
    Demo.button(url, "Open", function () {
        Demo.showAnswer(Demo.call("openUrlPlatformDef", address.value), urlOut);
    });

    var dialogs = Demo.fieldset(root, "File dialogs");
    var title = Demo.field(dialogs, "Title", "Choose a file");
    var dir = Demo.field(dialogs, "Folder", "");
    var filter = Demo.field(dialogs, "Filter", "Images (*.png *.jpg);;All files (*)");
    var dialogOut = Demo.output(dialogs);
    Demo.button(dialogs, "Open file…", function () {
        Demo.showAnswer(Demo.call("getOpenFileName", title.value, dir.value, filter.value), dialogOut);
    });
    Demo.button(dialogs, "Save file…", function () {
        Demo.showAnswer(Demo.call("getSaveFileName", title.value, dir.value, filter.value), dialogOut);
    });

    var exitBox = Demo.fieldset(root, "Exit");
    var code = Demo.field(exitBox, "Exit code", "0");
    Demo.button(exitBox, "Exit the course", function () {
        Demo.call("exitApplication", parseInt(code.value, 10) || 0);
    });
});

// The close request arrives whichever panel is shown.
Demo.onEvent(function (name) {
    if (name === "onApplicationClose" && window.confirm("Leave the course?"))
        Demo.call("exitApplication", 0);
});
