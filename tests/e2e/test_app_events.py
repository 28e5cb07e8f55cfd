"""URLs the system asks the shell to open reach the page as application
events, held back until the page initialises the Application plugin."""

import unittest

from harness import ShellTestCase, page

EVENTS_PAGE = r"""
await new Promise(function (r) { setTimeout(r, 1500); });
same(shellEvents.filter(function (e) { return e.name === "applicationEvent"; }).length, 0,
     "events held back before initialisation");
var uuid = newUuid();
var done = waitFor("initializePluginDone", uuid);
shell.initializePlugin(uuid, "Application", {});
var answer = await done;
same(answer.data.version, { semver: "1.3.0" }, "plugin answer carries the version");
var doneAt = shellEvents.indexOf(answer);
var events = shellEvents.slice(0, doneAt).filter(function (e) { return e.name === "applicationEvent"; });
same(events.length, 2, "both events arrive before the answer");
check(/lesson:\/\/a$/.test(events[0].data.url) && /lesson:\/\/b$/.test(events[1].data.url),
      "events in the order they were given", events.map(function (e) { return e.data.url; }));
same(events[0].data.className, "QMLFileOpenEvent", "class name");
same(typeof events[0].data.type, "number", "type is a number");
same(events[0].data.type, events[1].data.type, "every event has the same type");
same(Object.keys(events[0].data).sort(), ["className", "type", "url"], "event fields");

// The page may report a state itself; the answer carries no uuid.
var stateEvent = waitEvent(function (n, d) { return n === "applicationStateChanged" && d.state_code === 2; });
shell.stateChanged(2);
same((await stateEvent).data, { state_code: 2 }, "stateChanged from the page");
"""


class ApplicationEventsTest(ShellTestCase):

    def test_open_uri_events_reach_page_after_initialisation(self):
        self.shell.course({"index.html": page(EVENTS_PAGE)})
        run = self.shell.run(["--disable-web-security", "--open-uri=lesson://a", "--open-uri=lesson://b",
                              "--OPEN-URI=lesson://ignored", "--open-uri="])
        self.assertPagePassed(run)


if __name__ == "__main__":
    unittest.main()
