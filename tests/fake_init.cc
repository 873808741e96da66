// Stands in for the private sendmail init script in tests: records how it
// was called and the process state it got, and exits with the status the
// test asked for.
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <utility>

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

static std::string first_line(const std::string &path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// The lines of path that begin with one of prefixes (keep), or with none.
static std::string lines_of(const std::string &path, std::initializer_list<const char *> prefixes,
                            bool keep)
{
    std::string s;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        if (std::any_of(prefixes.begin(), prefixes.end(),
                        [&line](const char *p) { return line.rfind(p, 0) == 0; }) == keep)
            s += line + "\n";
    return s;
}

// Everything else the kernel tells a process about itself, but ids, times,
// counters and what process_state records.
static std::string probe()
{
    std::string s = lines_of("/proc/self/status", {"State", "Tgid", "Ngid", "Pid", "PPid", "FDSize",
                                                   "Groups", "NS", "Vm", "Rss", "Hugetlb", "SigQ",
                                                   "Cpus_allowed", "voluntary", "nonvoluntary"},
                             false) +
                    lines_of("/proc/self/sched", {"se.slice", "uclamp"}, true);
    for (const std::string name : {"personality", "timerslack_ns", "coredump_filter", "loginuid",
                                   "sessionid", "attr/current", "ns/cgroup", "ns/ipc", "ns/mnt",
                                   "ns/net", "ns/pid", "ns/time", "ns/user", "ns/uts"}) {
        char link[256] = "";
        const ssize_t n = readlink(("/proc/self/" + name).c_str(), link, sizeof link - 1);
        s += name + "=" + (n > 0 ? link : first_line("/proc/self/" + name)) + "\n";
    }
    const std::string group = first_line("/proc/self/autogroup"), stat = first_line("/proc/self/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string f[7];
    for (std::string &field : f)
        fields >> field;
    s += "autogroup=" + group.substr(group.find(' ') + 1) + "\ntty=" + f[4] +
         " flags=" + std::to_string(std::stoul(f[6]) & ~0x100UL /* PF_SUPERPRIV */) + "\nprctl";
    // Dumpable, keepcaps, no_new_privs, seccomp, securebits, THP disable,
    // timer slack, MCE kill, timing, I/O flusher, tagged addresses, MDWE,
    // memory merging, and the three speculation controls.
    for (const auto &[option, arg] : std::initializer_list<std::pair<int, unsigned long>>{
             {3, 0}, {7, 0}, {39, 0}, {21, 0}, {27, 0}, {42, 0}, {30, 0}, {34, 0}, {13, 0},
             {58, 0}, {56, 0}, {66, 0}, {68, 0}, {52, 0}, {52, 1}, {52, 2}}) {
        errno = 0;
        const long r = prctl(option, arg, 0, 0, 0);
        s += " " + (r < 0 ? "e" + std::to_string(errno) : std::to_string(r));
    }
    int pdeathsig = -1, subreaper = -1, tsc = -1, mode = -1;
    prctl(PR_GET_PDEATHSIG, &pdeathsig, 0, 0, 0);
    prctl(PR_GET_CHILD_SUBREAPER, &subreaper, 0, 0, 0);
    prctl(PR_GET_TSC, &tsc, 0, 0, 0);
    unsigned long nodes[16] = {};
    syscall(SYS_get_mempolicy, &mode, nodes, 1024, 0, 0);
    char keyring[256] = "";
    syscall(SYS_keyctl, 6 /* DESCRIBE */, -3 /* the session keyring */, keyring, sizeof keyring);
    stack_t alt{};
    sigaltstack(nullptr, &alt);
    s += " " + std::to_string(pdeathsig) + " " + std::to_string(subreaper) + " " +
         std::to_string(tsc) + "\nmempolicy=" + std::to_string(mode) + " " +
         std::to_string(nodes[0]) + "\nkeyring=" + keyring +
         "\naltstack=" + std::to_string(alt.ss_flags) + "\nstreams";
    for (int fd = 0; fd <= 2; fd++) {
        struct stat st {};
        fstat(fd, &st);
        s += " " + std::to_string(st.st_mode & S_IFMT) + ":" + std::to_string(fcntl(fd, F_GETFL));
    }
    return s + "\n";
}

static FILE *open_log()
{
    return std::fopen((std::string(RUN_DIR) + "init.log").c_str(), "a");
}

// The number in RUN_DIR/name, or 0 when there is none.
static int number_in(const char *name)
{
    return std::atoi(first_line(std::string(RUN_DIR) + name).c_str());
}

int main(int argc, char **argv)
{
    const std::string state = process_state();
    std::ofstream(std::string(RUN_DIR) + "init.probe") << probe();
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
    const std::string say = first_line(std::string(RUN_DIR) + "init.say");
    if (state.find("streams=rww\n") == std::string::npos ||
        (!say.empty() && std::fprintf(stderr, "%s\n", say.c_str()) < 0))
        return 1;
    // A stand-in daemon when asked: it outlives the script, for that many
    // seconds at most, and records its process id.
    if (const int seconds = number_in("init.daemon")) {
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
    if (const int ms = number_in("init.sleep")) {
        const struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
        nanosleep(&ts, nullptr);
    }
    if ((log = open_log()) != nullptr) {
        std::fputs("end\n", log);
        std::fclose(log);
    }
    // Killed by that signal when asked.
    if (const int sig = number_in("init.kill"))
        kill(getpid(), sig);
    return number_in("init.status");
}
