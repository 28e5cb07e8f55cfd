// Application: closing the window and leaving the course.
Demo.addPanel("Application", function (root) {
    var close = Demo.fieldset(root, "Window");
    close.appendChild(Demo.el("p", {}, "Closing the window asks the course first: the shell sends " +
        "\"onApplicationClose\" and keeps the window open. This course then offers to exit."));
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
