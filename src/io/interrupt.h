#pragma once

#include <cstdint>

#include "core/string_view.h"

namespace quarrow {

// A run stopped by the user or the system: Ctrl-C, SIGTERM, SIGHUP; on
// Windows the console's Ctrl-C, Ctrl-Break, close, logoff and shutdown
// events. The first of them removes the files in flight at once (what is
// safe to do there) and raises a flag that the run checks on its way; a
// second one ends the process at once.

// Installs the handlers; false where the system refuses.
bool interrupt_install();

// True once the run was interrupted.
bool interrupted();

// Files that must not outlive the run if it is interrupted: temporary
// tables. Tracking happens before a file is created; untracking after it
// was renamed or removed. A tracked path is removed by the handler and by
// interrupt_exit(). Returns a handle for interrupt_untrack(), or -1 when the
// path cannot be tracked (the file must not be made then).
int64_t interrupt_track(StringView path);
void interrupt_untrack(int64_t handle);

// Counts a log converted, for the line that reports an interruption.
void interrupt_note_converted();

// Reports the interruption at error level, with the logs converted before
// it, and ends the process as an interrupted one ends on its system: the
// signal's own default action on POSIX, the exit code 0xC000013A on
// Windows. REQUIRES: interrupted(); the run's threads have stopped.
[[noreturn]] void interrupt_exit();

// For tests: makes interrupted() true without a signal (true) or clears it.
void interrupt_set_for_test(bool on);

// What the platform file provides.
// A copy of path that the platform can remove from within a handler; null
// when memory is short.
void* interrupt_platform_path(StringView path);
void interrupt_platform_free(void* native);
// Removes the file; safe inside a signal handler. Failures are ignored.
void interrupt_platform_remove(void* native);
bool interrupt_platform_install();
[[noreturn]] void interrupt_platform_exit(int code);

// Called by the platform's handler with what stopped the run (the signal
// number, or the console event plus one). Returns false when the run was
// already interrupted: the caller then ends the process at once.
bool interrupt_signalled(int code);

// The process's own id, and whether a process of that id still runs.
int64_t process_id();
bool process_running(int64_t pid);

}  // namespace quarrow
