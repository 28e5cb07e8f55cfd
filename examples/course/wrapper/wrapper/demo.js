// The demo course's frame: connects to the shell, logs every event, and
// hosts the service panels.
"use strict";

var Demo = {
    shell: null,
    panels: [],
    counter: 0,

    uuid: function () {
        Demo.counter++;
        return "demo-" + Demo.counter;
    },

    // Registers a panel: build(container) fills it with controls.
    addPanel: function (title, build) {
        Demo.panels.push({ title: title, build: build });
    },

    // Calls a command with a new uuid and returns that uuid.
    call: function (command) {
        var uuid = Demo.uuid();
        var args = [uuid].concat(Array.prototype.slice.call(arguments, 1));
        Demo.shell[command].apply(Demo.shell, args);
        return uuid;
    },

    listeners: [],
    // listener(name, data) for every event.
    onEvent: function (listener) {
        Demo.listeners.push(listener);
    },

    logEvent: function (name, data) {
        var li = document.createElement("li");
        var n = document.createElement("span");
        n.className = "name";
        n.textContent = name;
        li.appendChild(n);
        li.appendChild(document.createTextNode(" " + JSON.stringify(data)));
        var log = document.getElementById("event-log");
        log.insertBefore(li, log.firstChild);
        while (log.children.length > 300)
            log.removeChild(log.lastChild);
    },

    // Small helpers for panels.
    el: function (tag, attrs, text) {
        var e = document.createElement(tag);
        for (var k in (attrs || {}))
            e.setAttribute(k, attrs[k]);
        if (text !== undefined)
            e.textContent = text;
        return e;
    },

    field: function (parent, label, value) {
        var row = Demo.el("div");
        row.appendChild(Demo.el("label", {}, label));
        var input = Demo.el("input", { type: "text" });
        input.value = value || "";
        row.appendChild(input);
        parent.appendChild(row);
        return input;
    },

    button: function (parent, text, action) {
        var b = Demo.el("button", {}, text);
        b.addEventListener("click", action);
        parent.appendChild(b);
        return b;
    },

    fieldset: function (parent, legend) {
        var f = Demo.el("fieldset");
        f.appendChild(Demo.el("legend", {}, legend));
        parent.appendChild(f);
        return f;
    },

    output: function (parent) {
        var pre = Demo.el("pre", { class: "out" });
        parent.appendChild(pre);
        return pre;
    },

    // Shows the answer to `uuid` in `pre` when it arrives.
    showAnswer: function (uuid, pre) {
        Demo.onEvent(function (name, data) {
            if (data && data.uuid === uuid)
                pre.textContent = name + "\n" + JSON.stringify(data, null, 2);
        });
    },

    show: function (index) {
        var section = document.getElementById("panel");
        section.innerHTML = "";
        Demo.panels[index].build(section);
        var buttons = document.querySelectorAll("#tabs button");
        for (var i = 0; i < buttons.length; i++)
            buttons[i].className = i === index ? "active" : "";
    }
};

window.addEventListener("load", function () {
    document.getElementById("clear-log").addEventListener("click", function () {
        document.getElementById("event-log").innerHTML = "";
    });
    new QWebChannel(qt.webChannelTransport, function (channel) {
        Demo.shell = channel.objects.shellInterface;
        Demo.shell.invokeJSCall.connect(function (name, data) {
            Demo.logEvent(name, data);
            Demo.listeners.forEach(function (l) { l(name, data); });
        });
        var tabs = document.getElementById("tabs");
        Demo.panels.forEach(function (panel, i) {
            Demo.button(tabs, panel.title, function () { Demo.show(i); });
        });
        if (Demo.panels.length)
            Demo.show(0);
    });
});
