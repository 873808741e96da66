// service_state: the process state the init script starts with, the one a
// service manager gives a service, whatever the caller set on its own
// process before it ran us. Used by run_service (service.h) in its child.
#ifndef SERVICE_STATE_H
#define SERVICE_STATE_H

#include <string_view>

// Puts the calling process, a child about to exec the init script, into
// that state: a session of its own, descriptors 0 to 2 usable and no other,
// /, process 1's limits, scheduling and process attributes (or the
// kernel's defaults where process 1's can't be read), default signals. A
// state it cannot undo and that would reach the script and the daemon
// refuses the start: it writes "Can't reset the caller's ..." naming it, or
// perror(fail_msg) when a system call failed, and returns false.
bool service_state(const char *fail_msg);

// Writes text in one write to the existing file at path, without following
// a link at its name.
bool write_to(const char *path, std::string_view text);

#endif
