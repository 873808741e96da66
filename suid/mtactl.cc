// mtactl: starts and stops the private sendmail through its init script,
// prints the process id it last recorded, and switches the mail server
// between its gateway and hub configurations.
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "edit_file.h"
#include "smlib.h"

// POSIX has programs declare it themselves; glibc happens to as well.
extern char **environ;  // NOLINT(readability-redundant-declaration)

namespace {

#ifdef __GLIBC__
// glibc reorders the words unless told not to; scanning must stop at the
// first word that is not an option.
constexpr char OPTSTRING[] = "+s:phg";
#else
constexpr char OPTSTRING[] = "s:phg";
#endif

constexpr char MSG_USAGE[] =
    "You must specify either -s to start/stop sendmail or -p to return sendmail's most "
    "recent PID\n";
constexpr char MSG_USAGE_MODE[] =
    "You may also switch which mode your mail server is running as. -h makes it a hub and "
    "-g makes it a gateway\n";
constexpr char MSG_BAD_WORD[] = "Invalid option. You can only use -s start or -s stop.\n";
constexpr char MSG_EXEC[] = "Failed to execute sendmail";
constexpr char MSG_PID_OPEN[] = "Failed to open sendmail.pid file.";

constexpr char INIT_ARG0[] = "sendmail";
constexpr char INIT_PATH_ENV[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
constexpr int PID_LINE = 500;

#ifdef __GLIBC__
using rlimit_resource = __rlimit_resource;
#else
using rlimit_resource = int;
#endif


bool is_alnum(char ch)
{
    return (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9');
}

bool plain_value(std::string_view value)
{
    return std::all_of(value.begin(), value.end(), [](char ch) {
        return is_alnum(ch) || ch == '.' || ch == '_' || ch == '-' || ch == '@';
    });
}

bool locale_name(std::string_view name)
{
    if (name == "LANG")
        return true;
    if (name.size() <= 3 || name.substr(0, 3) != "LC_")
        return false;
    const std::string_view rest = name.substr(3);
    return std::all_of(rest.begin(), rest.end(),
                       [](char ch) { return (ch >= 'A' && ch <= 'Z') || ch == '_'; });
}

bool has_name(const std::vector<std::string> &env, std::string_view entry)
{
    const std::string_view name = entry.substr(0, entry.find('=') + 1);
    return std::any_of(env.begin(), env.end(), [name](const std::string &e) {
        return std::string_view(e).substr(0, name.size()) == name;
    });
}

// The script gets a fresh environment: a fixed PATH and the caller's locale
// where it is a plain name. Later duplicates are ignored.
std::vector<std::string> init_env()
{
    std::vector<std::string> env{INIT_PATH_ENV};
    for (char **e = environ; *e != nullptr; e++) {
        const std::string_view entry(*e);
        const size_t eq = entry.find('=');
        if (eq == std::string_view::npos || !locale_name(entry.substr(0, eq)) ||
            !plain_value(entry.substr(eq + 1)) || has_name(env, entry))
            continue;
        env.emplace_back(entry);
    }
    return env;
}

// The script runs with the program's identity, so it must pass the test of
// every critical file. It is checked through a descriptor and then run by
// its name: its path is safe, so nobody but root can swap it in between.
// A link at its name is not followed: it could lead to any root-owned
// program, which would get the -s word as its script.
int init_trusted()
{
    if (!trusted_path(SENDMAIL_INIT))
        return 0;
    const int fd = open(SENDMAIL_INIT, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        std::perror(MSG_EXEC);
        return 0;
    }
    file_ptr fp(fdopen(fd, "r"));
    if (!fp) {
        std::perror(MSG_EXEC);
        close(fd);
        return 0;
    }
    return permissions_ok(fp.get(), SENDMAIL_INIT);
}

// Ignored and blocked signals survive exec: neither what the caller set up
// nor the SIGXFSZ that start-up ignores may reach the script and the daemon
// it starts.
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

// Raising a hard limit needs CAP_SYS_RESOURCE, which root often lacks:
// then the hard limit in force stays and the soft one goes as near as it
// allows.
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

// The script, and the daemon it starts, begin the way a service manager
// starts a service: nothing of the caller's process state but descriptors
// 0 to 2 comes along. The interval timers were disarmed at start-up.
bool service_state()
{
    if (!close_from_3() || chdir("/") != 0)
        return false;
    service_scheduling();
    service_limits();
    default_signals();
    return true;
}

int run_init(char *word)
{
    if (!init_trusted())
        return -1;
    std::vector<std::string> env = init_env();
    std::vector<char *> envp(env.size() + 1, nullptr);
    std::transform(env.begin(), env.end(), envp.begin(), [](std::string &e) { return e.data(); });
    std::string arg0 = INIT_ARG0;
    char *const argv[] = {arg0.data(), word, nullptr};
    if (!service_state()) {
        std::perror(MSG_EXEC);
        return -1;
    }
    const int rc = execve(SENDMAIL_INIT, argv, envp.data());
    std::perror(MSG_EXEC);
    return rc;
}

int start_stop(char *word)
{
    if (std::strncmp(word, "start", 5) != 0 && std::strncmp(word, "stop", 4) != 0) {
        std::fputs(MSG_BAD_WORD, stderr);
        return -1;
    }
    return run_init(word);
}

// A link or anything but a regular file at the name counts as a missing
// file; not blocking keeps a FIFO there from hanging the run. A file in a
// directory others may change is refused as one root may not read.
file_ptr open_pid_file()
{
    if (!safe_path(SENDMAIL_PID)) {
        errno = EACCES;
        return nullptr;
    }
    return file_ptr(open_regular(SENDMAIL_PID));
}

int print_pid()
{
    const file_ptr fd = open_pid_file();
    if (!fd) {
        std::perror(MSG_PID_OPEN);
        return -1;
    }
    char line_buf[PID_LINE];
    if (const char *p = std::fgets(line_buf, PID_LINE, fd.get()))
        std::printf("%s", p);
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    int status = 0;
    if (!start_up(MSG_CANT_GO_SUID, -1, -1, &status))
        return status;
    const int c = getopt(argc, argv, OPTSTRING);
    switch (c) {
    case -1:
        std::fputs(MSG_USAGE, stderr);
        return 1;
    case 'h':
        return make_hub() ? 0 : 1;
    case 'g':
        return make_gateway() ? 0 : 1;
    case 'p':
        return print_pid();
    case 's':
        return start_stop(optarg);
    default:
        std::fputs(MSG_USAGE, stderr);
        std::fputs(MSG_USAGE_MODE, stderr);
        return 1;
    }
}
