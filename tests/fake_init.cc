// Stands in for the private sendmail init script in tests: records how it
// was called and the process state it got, and exits with the status the
// test asked for.
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/syscall.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>

#include "zun_paths.h"

extern char **environ;

static const char RUN_DIR[] = ZUN_ROOT "sendmail/var/run/";

// Taken before the log is opened, so that only inherited descriptors show.
static std::string process_state()
{
    std::string s = "uid=" + std::to_string(getuid()) + " " + std::to_string(geteuid()) +
                    "\ngid=" + std::to_string(getgid()) + " " + std::to_string(getegid()) +
                    "\ngroups=";
    gid_t groups[64];
    const int n = getgroups(64, groups);
    for (int i = 0; i < n; i++)
        s += (i > 0 ? "," : "") + std::to_string(groups[i]);
    s += "\nfds=";
    if (DIR *d = opendir("/proc/self/fd")) {
        while (const struct dirent *e = readdir(d)) {
            if (e->d_name[0] != '.' && std::atoi(e->d_name) != dirfd(d))
                s += std::string(e->d_name) + " ";
        }
        closedir(d);
    }
    s += "\nnice=" + std::to_string(getpriority(PRIO_PROCESS, 0));
    cpu_set_t cpus;
    s += "\nsched=" + std::to_string(sched_getscheduler(0)) + " cpus=" +
         std::to_string(sched_getaffinity(0, sizeof cpus, &cpus) == 0 ? CPU_COUNT(&cpus) : -1) +
         " ioprio=" + std::to_string(syscall(SYS_ioprio_get, 1, 0));
    char cwd[4096];
    s += std::string("\ncwd=") + (getcwd(cwd, sizeof cwd) != nullptr ? cwd : "?");
    s += "\nsid=" + (getsid(0) == getpid() ? "own" : std::to_string(getsid(0)));
    std::ifstream cgroups("/proc/self/cgroup"), oom("/proc/self/oom_score_adj");
    for (std::string line; std::getline(cgroups, line);)
        if (line.size() < 2 || line.compare(line.size() - 2, 2, ":/") != 0)
            s += "\ncgroup=" + line;
    std::string adj;
    s += "\noom=" + (std::getline(oom, adj) ? adj : "?");
    // A zero-length read or write still fails on a descriptor not open for it.
    char none[1];
    s += std::string("\nstreams=") + (read(0, none, 0) == 0 ? "r" : "-") +
         (write(1, none, 0) == 0 ? "w" : "-") + (write(2, none, 0) == 0 ? "w" : "-") + "\n";
    for (int res = 0; res < RLIM_NLIMITS; res++) {
        struct rlimit rl;
        if (getrlimit(res, &rl) == 0)
            s += "limit=" + std::to_string(res) + " " + std::to_string(rl.rlim_cur) + " " +
                 std::to_string(rl.rlim_max) + "\n";
    }
    return s;
}

static FILE *open_log()
{
    return std::fopen((std::string(RUN_DIR) + "init.log").c_str(), "a");
}

// The number in RUN_DIR/name, or fallback when there is none.
static int number_in(const char *name, int fallback)
{
    int n = fallback;
    if (FILE *f = std::fopen((std::string(RUN_DIR) + name).c_str(), "r")) {
        if (std::fscanf(f, "%d", &n) != 1)
            n = fallback;
        std::fclose(f);
    }
    return n;
}

int main(int argc, char **argv)
{
    const std::string state = process_state();
    FILE *log = open_log();
    if (log == nullptr)
        return 126;
    for (int i = 0; i < argc; i++)
        std::fprintf(log, "argv[%d]=%s\n", i, argv[i]);
    for (char **e = environ; *e != nullptr; e++)
        std::fprintf(log, "env=%s\n", *e);
    std::fputs(state.c_str(), log);
    std::fclose(log);
    // Like a script whose first message fails under set -e.
    if (state.find("streams=rww\n") == std::string::npos)
        return 1;
    // A stand-in daemon when asked: it outlives the script, for that many
    // seconds at most, and records its process id.
    if (const int seconds = number_in("init.daemon", 0)) {
        const pid_t pid = fork();
        if (pid == 0) {
            const int null_fd = open("/dev/null", O_RDWR);
            for (int fd = 0; fd <= 2; fd++)
                dup2(null_fd, fd);
            sleep(static_cast<unsigned>(seconds));
            _exit(0);
        }
        std::ofstream(std::string(RUN_DIR) + "sendmail.pid") << pid << "\n";
    }
    // Runs on for a while when asked, so that a signal due meanwhile lands.
    if (const int ms = number_in("init.sleep", 0)) {
        const struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
        nanosleep(&ts, nullptr);
    }
    if ((log = open_log()) != nullptr) {
        std::fputs("end\n", log);
        std::fclose(log);
    }
    return number_in("init.status", 0);
}
