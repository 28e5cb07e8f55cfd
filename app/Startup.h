#pragma once

// The program's entry function: names the application, creates the
// application object, relaunches once with "--disable-web-security" when the
// switch is missing, otherwise runs the start-up function and the event loop.
int shellEntry(int argc, char** argv);

// The start-up function: builds the declarative engine, publishes the
// managers, prepares the storage folders, registers the element types and
// loads qrc:/Main.qml. Returns 0 on success.
int startShell();

// Whether the list holds "--disable-web-security" in any letter case.
bool hasWebSecuritySwitch(const class QStringList& arguments);
