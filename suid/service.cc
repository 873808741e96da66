// The process state every program takes on at start-up, and the one the
// init script starts with.
#include "service.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "edit_file.h"
#include "smlib.h"

namespace {

#ifdef __GLIBC__
using rlimit_resource = __rlimit_resource;
#else
using rlimit_resource = int;
#endif

// The child's status when the script cannot be started: -1, as the caller
// sees it.
constexpr int NOT_STARTED = 255;

bool write_to(const char *path, std::string_view text)
{
    const int fd = open(path, O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    return close(fd) == 0 && written;
}

// Root's own groups, all of them: the caller's group and supplementary
// groups would otherwise come along to everything root does and creates,
// and a set-user-id program's effective group is still the caller's.
bool become_root_group()
{
    const gid_t root_only[] = {0};
    if (setgroups(1, root_only) != 0)
        return false;
    return setgid(0) == 0;
}

// CPU time counts across exec, so a caller can use up all but a moment of
// its limit and then run us: a finite limit would end a root edit, or the
// daemon, wherever the caller likes. Raising the hard limit needs
// CAP_SYS_RESOURCE, which root often lacks.
bool lift_cpu_limit()
{
    const struct rlimit none = {RLIM_INFINITY, RLIM_INFINITY};
    return setrlimit(RLIMIT_CPU, &none) == 0;
}

bool octal_digits(std::string_view s)
{
    return s.size() == 3 && s.find_first_not_of("01234567") == std::string_view::npos;
}

// mountinfo writes a space, tab, newline or backslash in a path as \ooo.
std::string unescaped(const std::string &field)
{
    std::string path;
    for (size_t i = 0; i < field.size(); i++) {
        if (field[i] == '\\' && octal_digits(std::string_view(field).substr(i + 1, 3))) {
            path += static_cast<char>((field[i + 1] - '0') << 6 | (field[i + 2] - '0') << 3 |
                                      (field[i + 3] - '0'));
            i += 3;
        } else {
            path += field[i];
        }
    }
    return path;
}

// Where each cgroup hierarchy, of either version, is mounted: the fifth
// field of a line whose file-system type follows the "-" that ends the
// optional fields.
std::vector<std::string> cgroup_mounts()
{
    std::vector<std::string> mounts;
    std::ifstream in("/proc/self/mountinfo");
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string field, mount_point;
        for (int i = 0; i < 5 && fields >> field; i++)
            mount_point = field;
        while (fields >> field && field != "-") {
        }
        if (fields >> field && (field == "cgroup" || field == "cgroup2"))
            mounts.push_back(unescaped(mount_point));
    }
    return mounts;
}

// The interval timers survive exec, so a caller can arm them for us.
void stop_timers()
{
    const struct itimerval off {};
    for (const int which : {ITIMER_REAL, ITIMER_VIRTUAL, ITIMER_PROF})
        (void)setitimer(which, &off, nullptr);
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

}  // namespace

void secure_stdio()
{
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lowest free descriptor is the one that was closed.
        if (open("/dev/null", O_RDWR) != fd)
            std::abort();
    }
    signal(SIGXFSZ, SIG_IGN);
}

// Nothing the caller armed or wired up may end the run halfway: a timer
// would kill it, a message to a closed pipe would raise SIGPIPE, and the
// signals the caller's terminal sends to its foreground job would stop or
// end it.
void ignore_caller_signals()
{
    stop_timers();
    for (const int sig : {SIGPIPE, SIGHUP, SIGINT, SIGQUIT, SIGTSTP, SIGTTIN, SIGTTOU})
        signal(sig, SIG_IGN);
}

void leave_caller_cgroups()
{
    const std::string pid = std::to_string(getpid());
    // Where the kernel refuses, the process stays where it was.
    for (const std::string &mount : cgroup_mounts())
        (void)write_to((mount + "/cgroup.procs").c_str(), pid);
}

int do_suid()
{
    // Its owner counts only where nobody else could have put it there, and
    // nothing at a path that is not safe is looked at as root.
    if (!safe_path(ZUN_BIN_PATH))
        return 0;
    struct stat st;
    if (stat(ZUN_BIN_PATH, &st) < 0)
        return 0;
    // Only the owner of the product's main program may use the system;
    // root is not excepted.
    if (getuid() != st.st_uid)
        return 0;
    if (setuid(geteuid()) != 0)
        return 0;
    if (getuid() == 0 && !become_root_group())
        return 0;
    if (!lift_cpu_limit())
        return 0;
    umask(022);
    return 1;
}

int run_service(const char *path, char *const argv[], char *const envp[], const char *fail_msg)
{
    // With SIGCHLD ignored, as a caller may leave it, the child would be
    // reaped unseen and its status lost.
    signal(SIGCHLD, SIG_DFL);
    // A process-group leader, as a shell with job control makes us, cannot
    // start a session; its child can.
    const pid_t pid = fork();
    if (pid < 0) {
        std::perror(fail_msg);
        return -1;
    }
    if (pid == 0) {
        if (service_state())
            execve(path, argv, envp);
        std::perror(fail_msg);
        _exit(NOT_STARTED);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            std::perror(fail_msg);
            return -1;
        }
    }
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}
