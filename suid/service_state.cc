// The state the init script starts with: nothing the caller set on its own
// process and the kernel carries across fork and exec reaches the script
// and the daemon it starts.
#include "service_state.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/personality.h>
#include <sys/prctl.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

#ifdef __GLIBC__
using rlimit_resource = __rlimit_resource;
#else
using rlimit_resource = int;
#endif

constexpr char MSG_KEPT[] = "Can't reset the caller's %s.\n";

// The limits by name, with the hard limit the kernel starts process 1 with
// (unlimited also where it depends on the machine, as for processes and
// pending signals): nobody's lies below it unless someone lowered it.
constexpr struct Limit {
    int res;
    const char *name;
    rlim_t boot_hard;
} LIMITS[] = {
    {RLIMIT_CPU, "RLIMIT_CPU", RLIM_INFINITY},
    {RLIMIT_FSIZE, "RLIMIT_FSIZE", RLIM_INFINITY},
    {RLIMIT_DATA, "RLIMIT_DATA", RLIM_INFINITY},
    {RLIMIT_STACK, "RLIMIT_STACK", RLIM_INFINITY},
    {RLIMIT_CORE, "RLIMIT_CORE", RLIM_INFINITY},
    {RLIMIT_NOFILE, "RLIMIT_NOFILE", 4096},
    {RLIMIT_AS, "RLIMIT_AS", RLIM_INFINITY},
#ifdef __linux__
    {RLIMIT_RSS, "RLIMIT_RSS", RLIM_INFINITY},
    {RLIMIT_NPROC, "RLIMIT_NPROC", RLIM_INFINITY},
    {RLIMIT_MEMLOCK, "RLIMIT_MEMLOCK", 8 << 20},
    {RLIMIT_LOCKS, "RLIMIT_LOCKS", RLIM_INFINITY},
    {RLIMIT_SIGPENDING, "RLIMIT_SIGPENDING", RLIM_INFINITY},
    {RLIMIT_MSGQUEUE, "RLIMIT_MSGQUEUE", 819200},
    {RLIMIT_NICE, "RLIMIT_NICE", 0},
    {RLIMIT_RTPRIO, "RLIMIT_RTPRIO", 0},
    {RLIMIT_RTTIME, "RLIMIT_RTTIME", RLIM_INFINITY},
#endif
};

#ifdef __linux__
// Newer than some kernel headers.
constexpr int PRCTL_SET_MEMORY_MERGE = 67;
constexpr int PRCTL_GET_MDWE = 66;
constexpr long SECBIT_EXEC_RESTRICT_FILE = 1 << 8;
constexpr long SECBIT_EXEC_DENY_INTERACTIVE = 1 << 10;
constexpr long KEYCTL_JOIN_SESSION = 1;
constexpr long MPOL_DEFAULT_POLICY = 0;
// What init starts with, where process 1's can't be read.
constexpr unsigned long INIT_TIMER_SLACK = 50000;
constexpr char INIT_COREDUMP_FILTER[] = "33";

// struct sched_attr as far as the utilisation clamps.
struct sched_attr_v1 {
    uint32_t size;
    uint32_t sched_policy;
    uint64_t sched_flags;
    int32_t sched_nice;
    uint32_t sched_priority;
    uint64_t sched_runtime, sched_deadline, sched_period;
    uint32_t sched_util_min, sched_util_max;
};
constexpr uint64_t SCHED_UTIL_CLAMP = 0x20 | 0x40;  // SCHED_FLAG_UTIL_CLAMP_MIN, _MAX
constexpr uint32_t SCHED_UTIL_DEFAULT = UINT32_MAX;
#endif

// The first line of process 1's file name, or "" where it can't be read.
std::string pid1_line(const char *name)
{
    std::ifstream in(std::string("/proc/1/") + name);
    std::string line;
    std::getline(in, line);
    return line;
}

// The value after key in one of process 1's "key: value" files.
std::string pid1_field(const char *name, const std::string &key)
{
    std::ifstream in(std::string("/proc/1/") + name);
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, key.size(), key) == 0) {
            const size_t value = line.find_first_not_of(" \t", key.size());
            return value == std::string::npos ? "" : line.substr(value);
        }
    }
    return "";
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

bool pid1_limit(int res, struct rlimit *rl)
{
#ifdef __linux__
    return prlimit(1, static_cast<rlimit_resource>(res), nullptr, rl) == 0;
#else
    (void)res;
    (void)rl;
    return false;
#endif
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
// goes as near as it allows. Returns the hard limit now in force.
rlim_t set_limit(int res, struct rlimit want)
{
    if (setrlimit(res, &want) == 0)
        return want.rlim_max;
    struct rlimit now;
    if (getrlimit(res, &now) != 0)
        return 0;
    want.rlim_max = now.rlim_max;
    want.rlim_cur = std::min(want.rlim_cur, now.rlim_max);
    (void)setrlimit(res, &want);
    return now.rlim_max;
}

// The limits of process 1, as a service manager gives its services, not
// the ones the caller chose. A hard limit root may not raise (without
// CAP_SYS_RESOURCE) and that stays below both process 1's and the one the
// kernel boots with is a caller's: it would make root's m4 or the daemon
// fail wherever the caller likes. Returns the name of such a limit, or "".
std::string service_limits()
{
    for (const Limit &l : LIMITS) {
        struct rlimit rl;
        const bool known = pid1_limit(l.res, &rl);
        if (!known)
            rl = lifted_limit(l.res);
        const rlim_t hard = set_limit(l.res, rl);
        if (known && hard < std::min(rl.rlim_max, l.boot_hard))
            return std::string("hard limit ") + l.name;
    }
    return "";
}

// The normal policy at nice 0 with the default time slice, and no
// utilisation clamp where the kernel has them: sched_setscheduler would
// keep a slice the caller chose.
void normal_scheduling()
{
#ifdef __linux__
    struct sched_attr_v1 attr {};
    attr.size = sizeof attr;
    attr.sched_policy = SCHED_OTHER;
    attr.sched_flags = SCHED_UTIL_CLAMP;
    attr.sched_nice = 0;
    attr.sched_priority = 0;
    attr.sched_runtime = 0;
    attr.sched_deadline = 0;
    attr.sched_period = 0;
    attr.sched_util_min = SCHED_UTIL_DEFAULT;
    attr.sched_util_max = SCHED_UTIL_DEFAULT;
    if (syscall(SYS_sched_setattr, 0, &attr, 0) == 0)
        return;
    attr.sched_flags = 0;
    if (syscall(SYS_sched_setattr, 0, &attr, 0) == 0)
        return;
#endif
    const struct sched_param normal {};
    (void)sched_setscheduler(0, SCHED_OTHER, &normal);
    (void)setpriority(PRIO_PROCESS, 0, 0);
}

// Process 1's CPUs and I/O priority: a caller must not start the mail
// server idle or confined. Best effort: without CAP_SYS_NICE a raised nice
// value cannot be lowered.
void service_scheduling()
{
    normal_scheduling();
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

#ifdef __linux__
// A child's timer slack is its parent's, and 0 gives that back: only an
// explicit value undoes the caller's, which would delay every timeout of
// the script and the daemon by as long as the caller liked.
void service_timer_slack()
{
    unsigned long slack = std::strtoul(pid1_line("timerslack_ns").c_str(), nullptr, 10);
    if (slack == 0)
        slack = INIT_TIMER_SLACK;
    (void)prctl(PR_SET_TIMERSLACK, slack, 0, 0, 0);
}

// Mitigations of speculation flaws as a new task has them, where a task
// may change them and none was forced on (for L1D flushing, on means
// flushing).
void service_speculation()
{
    const struct {
        unsigned long misfeature, fresh;
    } controls[] = {{PR_SPEC_STORE_BYPASS, PR_SPEC_ENABLE},
                    {PR_SPEC_INDIRECT_BRANCH, PR_SPEC_ENABLE},
                    {PR_SPEC_L1D_FLUSH, PR_SPEC_DISABLE}};
    for (const auto &c : controls) {
        const long state = prctl(PR_GET_SPECULATION_CTRL, c.misfeature, 0, 0, 0);
        if (state > 0 && (state & PR_SPEC_PRCTL) != 0 && (state & PR_SPEC_FORCE_DISABLE) == 0)
            (void)prctl(PR_SET_SPECULATION_CTRL, c.misfeature, c.fresh, 0, 0);
    }
}
#endif

// What any process may set on itself, that fork and exec carry on, and
// that root can always take back: process 1's value where it can be read,
// the kernel's default otherwise. The personality would give the daemon
// another kernel version, a 32-bit address limit or other time and inode
// semantics; a caller's NUMA policy, THP or memory-merging choice, core
// dump filter, machine-check policy or disabled time-stamp counter would
// shape its memory and its failures; its session keyring would be the
// caller's.
void service_attributes()
{
#ifdef __linux__
    service_timer_slack();
    const std::string per = pid1_line("personality");
    (void)personality(per.empty() ? static_cast<unsigned long>(PER_LINUX)
                                 : std::strtoul(per.c_str(), nullptr, 16));
    const bool thp_off = pid1_field("status", "THP_enabled:") == "0";
    (void)prctl(PR_SET_THP_DISABLE, thp_off ? 1 : 0, 0, 0, 0);
    const bool merge = pid1_field("ksm_stat", "ksm_merge_any:") == "yes";
    (void)prctl(PRCTL_SET_MEMORY_MERGE, merge ? 1 : 0, 0, 0, 0);
    (void)syscall(SYS_set_mempolicy, MPOL_DEFAULT_POLICY, nullptr, 0);
    const std::string filter = pid1_line("coredump_filter");
    (void)write_to("/proc/self/coredump_filter",
                   "0x" + (filter.empty() ? INIT_COREDUMP_FILTER : filter));
    (void)prctl(PR_MCE_KILL, PR_MCE_KILL_SET, PR_MCE_KILL_DEFAULT, 0, 0);
#ifdef PR_SET_TSC
    (void)prctl(PR_SET_TSC, PR_TSC_ENABLE, 0, 0, 0);
#endif
    service_speculation();
    (void)syscall(SYS_keyctl, KEYCTL_JOIN_SESSION, nullptr);
#endif
}

// What a caller may set without privilege and nobody can take back, and
// that would confine the script and the daemon: the memory-deny-write-
// execute flag, which refuses any program that generates code, and locked
// securebits that tell interpreters to run no script or command line (the
// unlocked ones are cleared). Returns the name of what stays, or "".
std::string kept_attributes()
{
#ifdef __linux__
    if (prctl(PRCTL_GET_MDWE, 0, 0, 0, 0) > 0)
        return "memory-deny-write-execute";
    const long exec_bits = SECBIT_EXEC_RESTRICT_FILE | SECBIT_EXEC_DENY_INTERACTIVE;
    const long bits = prctl(PR_GET_SECUREBITS, 0, 0, 0, 0);
    if (bits > 0 && (bits & exec_bits) != 0 &&
        prctl(PR_SET_SECUREBITS, bits & ~exec_bits, 0, 0, 0) != 0)
        return "securebits";
#endif
    return "";
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

// Out of the caller's session, the caller's terminal can neither stop nor
// end the script and what it starts.
bool service_state(const char *fail_msg)
{
    if (setsid() < 0 || !usable_streams() || !close_from_3() || chdir("/") != 0) {
        std::perror(fail_msg);
        return false;
    }
    service_scheduling();
    std::string kept = service_limits();
    if (kept.empty())
        kept = kept_attributes();
    if (!kept.empty()) {
        std::fprintf(stderr, MSG_KEPT, kept.c_str());
        return false;
    }
    service_attributes();
    // Any user may raise their own OOM score adjustment, which the daemon
    // would inherit; taking it back needs CAP_SYS_RESOURCE.
    (void)write_to("/proc/self/oom_score_adj", "0");
    default_signals();
    return true;
}
