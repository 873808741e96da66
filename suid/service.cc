// The process state every program takes on at start-up, and how the init
// script is run.
#include "service.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

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
#include "service_state.h"
#include "smlib.h"

namespace {

// The child's status when the script cannot be started: -1, as the caller
// sees it.
constexpr int NOT_STARTED = 255;

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
        if (service_state(fail_msg)) {
            execve(path, argv, envp);
            std::perror(fail_msg);
        }
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
