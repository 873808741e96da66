// service: the process state a program takes on before it acts for its
// caller, and the state the init script is started with: identity, timers,
// signals and limits. Nothing of the caller's process may end or stop
// root's work halfway.
#ifndef SERVICE_H
#define SERVICE_H

// Opens each of the descriptors 0, 1 and 2 that is closed on /dev/null and
// ignores SIGXFSZ, so that no later file becomes standard error and a low
// file-size limit turns into a failed write instead of a killed process.
void secure_stdio();
// Disarms the interval timers the caller armed before the exec and ignores
// SIGPIPE and the signals of the caller's terminal.
void ignore_caller_signals();

// The state the init script, and the daemon it starts, begin with, the way
// a service manager starts a service: nothing of the caller's process state
// but descriptors 0 to 2, in /, with default signals and process 1's limits
// and scheduling (each as far as the system allows). false, with errno set,
// when it could not be given.
bool service_state();

#endif
