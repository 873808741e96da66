// service: the process state a program takes on before it acts for its
// caller, and the state the init script is started with: identity, timers,
// signals, limits, cgroups, session and standard streams. Nothing of the
// caller's process may end, stop or confine root's work halfway.
#ifndef SERVICE_H
#define SERVICE_H

// Opens each of the descriptors 0, 1 and 2 that is closed on /dev/null and
// ignores SIGXFSZ, so that no later file becomes standard error and a low
// file-size limit turns into a failed write instead of a killed process.
void secure_stdio();
// Disarms the interval timers the caller armed before the exec and ignores
// SIGPIPE and the signals of the caller's terminal.
void ignore_caller_signals();
// Moves the process into the root cgroup of every mounted hierarchy, as far
// as the kernel lets it: whoever stops, freezes or limits the caller's
// cgroups must not reach root's work, nor the daemon it starts.
void leave_caller_cgroups();

// Runs path with argv and envp the way a service manager starts a service,
// in a child in the state service_state (service_state.h) gives it. Waits
// for it and returns its exit status, or 128 plus the number of the signal
// that ended it. When it cannot be started: perror(fail_msg), then -1; or
// 255 from the child after its message, when that state can't be had.
int run_service(const char *path, char *const argv[], char *const envp[], const char *fail_msg);

#endif
