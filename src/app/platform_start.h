#pragma once

namespace quarrow {

// Prepares the process before the command line is read: the arguments
// become UTF-8 text, and standard output passes bytes unchanged. On Windows
// the narrow argv holds the ANSI code page, which loses names such as
// "日本", and standard output would turn every line end into CR LF. The
// rebuilt arguments live until the process ends. False when memory is short.
bool platform_start(int* argc, char*** argv);

// Before the process ends. On Windows a console window that only this
// process uses (it was started by a double-click or by dropping files on
// it) closes with it; unless the run is non-interactive, it then waits for
// Enter, so that the messages and the summary can be read.
void platform_end(bool non_interactive);

}  // namespace quarrow
