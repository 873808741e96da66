// The state the init script starts with: nothing of the caller's process
// state reaches the script and the daemon it starts.
#include "service_state.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

#ifdef __GLIBC__
using rlimit_resource = __rlimit_resource;
#else
using rlimit_resource = int;
#endif

bool usable(int fd, int want)
{
    const int flags = fcntl(fd, F_GETFL);
    if (flags == -1)
        return false;
#ifdef O_PATH
    if ((flags & O_PATH) != 0)
        return false;
#endif
    return (flags & O_ACCMODE) == O_RDWR || (flags & O_ACCMODE) == want;
}

// glibc opens a set-user-id program's closed descriptor 0 on /dev/full for
// writing, and 1 and 2 on /dev/null for reading: the script's first
// message would fail. Such a descriptor gets /dev/null the right way.
bool usable_streams()
{
    for (int fd = 0; fd <= 2; fd++) {
        const int want = fd == 0 ? O_RDONLY : O_WRONLY;
        if (usable(fd, want))
            continue;
        const int null_fd = open("/dev/null", want);
        if (null_fd < 0)
            return false;
        if (null_fd != fd) {
            const bool moved = dup2(null_fd, fd) == fd;
            close(null_fd);
            if (!moved)
                return false;
        }
    }
    return true;
}

// Every descriptor from 3 up; 0 to 2 stay the caller's, so that the
// script's messages reach it.
bool close_from_3()
{
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    if (close_range(3, ~0U, 0) == 0)
        return true;
#endif
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return false;
    std::vector<int> fds;
    while (const struct dirent *e = readdir(dir)) {
        char *end = nullptr;
        const long fd = std::strtol(e->d_name, &end, 10);
        if (end != e->d_name && *end == '\0' && fd >= 3 && fd != dirfd(dir))
            fds.push_back(static_cast<int>(fd));
    }
    closedir(dir);
    for (const int fd : fds)
        close(fd);
    return true;
}

// What the script gets when process 1's limits can't be read: every soft
// limit at its hard one, and no caller-chosen ceiling on CPU time, file
// size or open files.
struct rlimit lifted_limit(int res)
{
    struct rlimit rl {};
    (void)getrlimit(res, &rl);
    if (res == RLIMIT_CPU || res == RLIMIT_FSIZE || res == RLIMIT_NOFILE)
        rl.rlim_max = RLIM_INFINITY;
    rl.rlim_cur = rl.rlim_max;
    return rl;
}

// Without CAP_SYS_RESOURCE the hard limit in force stays and the soft one
// goes as near as it allows.
void set_limit(int res, struct rlimit want)
{
    if (setrlimit(res, &want) == 0)
        return;
    struct rlimit now;
    if (getrlimit(res, &now) != 0)
        return;
    want.rlim_max = now.rlim_max;
    want.rlim_cur = std::min(want.rlim_cur, now.rlim_max);
    (void)setrlimit(res, &want);
}

// The limits of process 1, as a service manager gives its services, not
// the ones the caller chose.
void service_limits()
{
#ifdef __linux__
    for (int res = 0; res < RLIM_NLIMITS; res++) {
        struct rlimit rl;
        if (prlimit(1, static_cast<rlimit_resource>(res), nullptr, &rl) != 0)
            rl = lifted_limit(res);
        set_limit(res, rl);
    }
#else
    for (const int res : {RLIMIT_CORE, RLIMIT_CPU, RLIMIT_DATA, RLIMIT_FSIZE, RLIMIT_NOFILE,
                          RLIMIT_STACK, RLIMIT_AS})
        set_limit(res, lifted_limit(res));
#endif
}

// The normal scheduling policy at nice 0, and process 1's CPUs and I/O
// priority: a caller must not start the mail server idle or confined.
// Best effort: without CAP_SYS_NICE a raised nice value cannot be lowered.
void service_scheduling()
{
    const struct sched_param normal {};
    (void)sched_setscheduler(0, SCHED_OTHER, &normal);
    (void)setpriority(PRIO_PROCESS, 0, 0);
#ifdef __linux__
    cpu_set_t cpus;
    if (sched_getaffinity(1, sizeof cpus, &cpus) == 0)
        (void)sched_setaffinity(0, sizeof cpus, &cpus);
    const int who_process = 1;
    const long ioprio = syscall(SYS_ioprio_get, who_process, 1);
    if (ioprio >= 0)
        (void)syscall(SYS_ioprio_set, who_process, 0, ioprio);
#endif
}

// Ignored and blocked signals survive exec: neither what the caller set up
// nor what start-up ignores may reach the script and the daemon it starts.
void default_signals()
{
    struct sigaction sa {};
    sa.sa_handler = SIG_DFL;
    sigemptyset(&sa.sa_mask);
    for (int sig = 1; sig < NSIG; sig++)
        (void)sigaction(sig, &sa, nullptr);
    sigset_t none;
    sigemptyset(&none);
    (void)sigprocmask(SIG_SETMASK, &none, nullptr);
}

}  // namespace

bool write_to(const char *path, std::string_view text)
{
    const int fd = open(path, O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    return close(fd) == 0 && written;
}

// The child's state before the exec. Out of the caller's session, the
// caller's terminal can neither stop nor end the script and what it starts.
bool service_state()
{
    if (setsid() < 0 || !usable_streams() || !close_from_3() || chdir("/") != 0)
        return false;
    service_scheduling();
    service_limits();
    // Any user may raise their own OOM score adjustment, which the daemon
    // would inherit; taking it back needs CAP_SYS_RESOURCE.
    (void)write_to("/proc/self/oom_score_adj", "0");
    default_signals();
    return true;
}

