#pragma once

class ArchiveException;

// Ends the process for an archive failure nothing else could handle: logs
// the fatal line "Archive error, code: %i, message: %s." and writes the same
// line to standard error, so that a user who started the program from a
// terminal sees why it ended.
[[noreturn]] void endWithArchiveError(const ArchiveException& error);
