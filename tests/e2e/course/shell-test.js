// Page side of the end-to-end tests: promises over the shell's commands,
// checks reported as console lines, and the end of the run.
"use strict";

var shellEvents = [];          // every event the page received, in order
var shellWaiters = [];         // pending waits: {match, resolve}
var failures = 0;

function report(ok, name, why) {
    if (ok) {
        console.warn("PASS " + name);
    } else {
        failures++;
        console.warn("FAIL " + name + ": " + (why || ""));
    }
}

function check(cond, name, detail) {
    report(!!cond, name, detail === undefined ? "" : JSON.stringify(detail));
    return !!cond;
}

function same(actual, expected, name) {
    var a = JSON.stringify(actual), e = JSON.stringify(expected);
    return report(a === e, name, "expected " + e + ", got " + a);
}

// A canonical JSON form (object keys sorted), for comparisons that do not
// depend on key order.
function canon(v) {
    if (Array.isArray(v)) return "[" + v.map(canon).join(",") + "]";
    if (v && typeof v === "object")
        return "{" + Object.keys(v).sort().map(function (k) { return JSON.stringify(k) + ":" + canon(v[k]); }).join(",") + "}";
    return JSON.stringify(v);
}

function eq(actual, expected, name) {
    return report(canon(actual) === canon(expected), name, "expected " + canon(expected) + ", got " + canon(actual));
}

function sleep(ms) {
    return new Promise(function (r) { setTimeout(r, ms); });
}

var uuidCounter = 0;
function newUuid() {
    uuidCounter++;
    return "u-" + uuidCounter + "-" + Math.random().toString(16).slice(2, 10);
}

// Waits for the first event (already received or later) that satisfies
// match(name, data). Rejects after `ms` milliseconds.
function waitEvent(match, ms) {
    for (var i = 0; i < shellEvents.length; i++) {
        if (!shellEvents[i].taken && match(shellEvents[i].name, shellEvents[i].data)) {
            shellEvents[i].taken = true;
            return Promise.resolve(shellEvents[i]);
        }
    }
    return new Promise(function (resolve, reject) {
        var waiter = { match: match, resolve: resolve };
        shellWaiters.push(waiter);
        setTimeout(function () {
            var k = shellWaiters.indexOf(waiter);
            if (k >= 0) {
                shellWaiters.splice(k, 1);
                reject(new Error("timed out waiting for an event"));
            }
        }, ms || 15000);
    });
}

function waitFor(name, uuid, ms) {
    return waitEvent(function (n, d) { return n === name && (uuid === undefined || d.uuid === uuid); }, ms);
}

// Calls a command with a fresh uuid and resolves with the first event that
// carries that uuid: {name, data}.
function call(shell, command) {
    var uuid = newUuid();
    var args = Array.prototype.slice.call(arguments, 2);
    var answer = waitEvent(function (n, d) { return d && d.uuid === uuid; });
    shell[command].apply(shell, [uuid].concat(args));
    return answer.then(function (e) { e.uuid = uuid; return e; });
}

function finish(shell) {
    console.warn("DONE");
    shell.exitApplication(newUuid(), failures);
}

function runTest(body) {
    new QWebChannel(qt.webChannelTransport, function (channel) {
        var shell = channel.objects.shellInterface;
        shell.invokeJSCall.connect(function (name, data) {
            var entry = { name: name, data: data, taken: false };
            shellEvents.push(entry);
            for (var i = 0; i < shellWaiters.length; i++) {
                if (shellWaiters[i].match(name, data)) {
                    entry.taken = true;
                    var w = shellWaiters.splice(i, 1)[0];
                    w.resolve(entry);
                    break;
                }
            }
        });
        Promise.resolve().then(function () { return body(shell); }).then(function () {
            finish(shell);
        }, function (error) {
            report(false, "exception", String(error && error.stack || error));
            finish(shell);
        });
    });
}
