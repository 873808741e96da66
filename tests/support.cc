#include "support.h"

#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/personality.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "smlib.h"

namespace zt {

namespace {

void fail_errno(const std::string &what)
{
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

void mkdir_p(const std::string &path, mode_t mode)
{
    std::string cur;
    std::stringstream ss(path);
    std::string part;
    while (std::getline(ss, part, '/')) {
        if (part.empty())
            continue;
        cur += "/" + part;
        if (mkdir(cur.c_str(), mode) != 0 && errno != EEXIST)
            fail_errno("mkdir " + cur);
    }
}

void copy_file(const std::string &from, const std::string &to, mode_t mode)
{
    write_file(to, read_file(from), mode);
}

}  // namespace

TempDir::TempDir()
{
    const char *base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                       "/zt.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr)
        fail_errno("mkdtemp");
    path_ = buf.data();
}

TempDir::~TempDir() { remove_tree(path_); }

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        ADD_FAILURE() << "cannot read " << path;
        return std::string();
    }
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string &path, const std::string &content, mode_t mode)
{
    unlink(path.c_str());
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0)
        fail_errno("open " + path);
    size_t off = 0;
    while (off < content.size()) {
        const ssize_t n = write(fd, content.data() + off, content.size() - off);
        if (n < 0) {
            close(fd);
            fail_errno("write " + path);
        }
        off += static_cast<size_t>(n);
    }
    if (fchmod(fd, mode) != 0) {
        close(fd);
        fail_errno("fchmod " + path);
    }
    close(fd);
}

bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

static struct stat stat_or_throw(const std::string &path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        fail_errno("lstat " + path);
    return st;
}

mode_t file_mode(const std::string &path) { return stat_or_throw(path).st_mode & 07777; }
uid_t file_uid(const std::string &path) { return stat_or_throw(path).st_uid; }
gid_t file_gid(const std::string &path) { return stat_or_throw(path).st_gid; }

void remove_tree(const std::string &path)
{
    if (!exists(path))
        return;
    nftw(
        path.c_str(),
        [](const char *p, const struct stat *, int flag, struct FTW *) {
            if (flag == FTW_DP)
                rmdir(p);
            else
                unlink(p);
            return 0;
        },
        16, FTW_DEPTH | FTW_PHYS);
}

std::vector<std::string> list_dir(const std::string &path)
{
    std::vector<std::string> names;
    DIR *d = opendir(path.c_str());
    if (d == nullptr)
        return names;
    while (const struct dirent *e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            names.emplace_back(e->d_name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

bool is_root() { return geteuid() == 0; }

std::string acl_of(const std::string &path)
{
    const Result r = run("/usr/bin/getfacl", {"--omit-header", "--numeric", "--absolute-names",
                                              "--", path});
    return r.status == 0 ? r.out : "";
}

bool set_acl(const std::string &path, const std::string &spec)
{
    return exists("/usr/bin/setfacl") &&
           run("/usr/bin/setfacl", {"-m", spec, "--", path}).status == 0;
}

std::string repeat(char c, size_t n) { return std::string(n, c); }

const char TREE_SENDMAIL_MC[] =
    "divert(-1)dnl\n"
    "# live configuration\n"
    "divert(0)dnl\n"
    "OSTYPE(`linux')dnl\n"
    "define(`confDOMAIN_NAME', `sandbox.example')dnl\n"
    "FEATURE(`access_db')dnl\n"
    "MAILER(`smtp')dnl\n";
const char TREE_GATEWAY_MC[] =
    "divert(0)dnl\n"
    "# gateway template\n"
    "FEATURE(`mailertable')dnl\n"
    "MAILER(`smtp')dnl\n";
const char TREE_HUB_MC[] =
    "divert(0)dnl\n"
    "# hub template\n"
    "MAILER(`local')dnl\n"
    "MAILER(`smtp')dnl\n";
const char TREE_ACCESS[] =
    "Connect:127.0.0.1\tRELAY\n"
    "From:spammer@example.org\tREJECT\n";
const char TREE_MAILERTABLE[] =
    "example.com\tsmtp:[relay.example.net]\n"
    "example.org\tsmtp:[mx.example.org]\n";

static const char TREE_MARKER[] = ".zun-test-tree";

InstallTree::InstallTree()
{
    const std::string root = ZUN_PATH;
    if (exists(root) && !exists(root + TREE_MARKER) && !list_dir(root).empty())
        throw std::runtime_error("refusing to replace " + root +
                                 ": it is not a test install tree");
    remove_tree(root);
    mkdir_p(root, 0755);
    write_file(root + TREE_MARKER, "", 0644);
    mkdir_p(path("bin"), 0755);
    mkdir_p(path("sendmail/etc/mail"), 0755);
    mkdir_p(path("sendmail/etc/init.d"), 0755);
    mkdir_p(path("sendmail/var/run"), 0755);
    write_file(path("bin/zun"), "#!/bin/sh\nexit 0\n", 0755);
    write_file(mail("sendmail.mc"), TREE_SENDMAIL_MC);
    write_file(mail("example-gateway.mc"), TREE_GATEWAY_MC);
    write_file(mail("example-hub.mc"), TREE_HUB_MC);
    write_file(mail("access"), TREE_ACCESS);
    write_file(mail("mailertable"), TREE_MAILERTABLE);
    copy_file(program("fake_init"), path("sendmail/etc/init.d/sendmail"), 0755);
}

InstallTree::~InstallTree() { remove_tree(ZUN_PATH); }

std::string InstallTree::path(const std::string &rel) { return std::string(ZUN_PATH) + rel; }

void InstallTree::chown_all(uid_t uid, gid_t gid)
{
    static uid_t u;
    static gid_t g;
    u = uid;
    g = gid;
    nftw(
        ZUN_PATH,
        [](const char *p, const struct stat *, int, struct FTW *) {
            if (lchown(p, u, g) != 0)
                ADD_FAILURE() << "lchown " << p << ": " << std::strerror(errno);
            return 0;
        },
        16, FTW_PHYS);
}

std::string program(const std::string &name)
{
    if (name == "fake_init")
        return std::string(ZT_TEST_BIN_DIR) + "/" + name;
    return std::string(ZT_PROG_DIR) + "/" + name;
}

static std::vector<std::string> with_asan(std::vector<std::string> env)
{
    if (const char *asan = std::getenv("ASAN_OPTIONS"))
        env.push_back(std::string("ASAN_OPTIONS=") + asan);
    return env;
}

// A null-terminated array for exec; the strings must outlive it.
static std::vector<char *> c_strings(const std::vector<std::string> &words)
{
    std::vector<char *> c;
    for (const auto &w : words)
        c.push_back(const_cast<char *>(w.c_str()));
    c.push_back(nullptr);
    return c;
}

// What RunOptions::changes names, set as any process may on itself.
static void change_attributes(const std::string &what)
{
    if (what == "mdwe" && prctl(65 /* SET_MDWE */, 1 /* REFUSE_EXEC_GAIN */, 0, 0, 0) != 0)
        _exit(126);
    if (what == "securebits" && prctl(PR_SET_SECUREBITS, 0xf00 /* the exec bits, locked */, 0, 0, 0) != 0)
        _exit(126);
    if (what != "resettable")
        return;
    // A session, and so an autogroup, of its own to lower the priority of;
    // it leads its process group then, as job control makes a caller.
    if (setsid() >= 0)
        std::ofstream("/proc/self/autogroup") << 10;
    std::ofstream("/proc/self/coredump_filter") << "0x7f";
    prctl(PR_SET_TIMERSLACK, 20000000UL, 0, 0, 0);
    personality(PER_LINUX32 | UNAME26 | ADDR_LIMIT_32BIT | ADDR_LIMIT_3GB | SHORT_INODE |
                WHOLE_SECONDS | STICKY_TIMEOUTS | READ_IMPLIES_EXEC | ADDR_NO_RANDOMIZE);
    prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0);
#ifndef __SANITIZE_ADDRESS__
    // Taking it back walks the terabytes of a sanitized program's shadow
    // memory: minutes where the kernel unmerges page by page, as 6.18 does.
    prctl(67 /* SET_MEMORY_MERGE */, 1, 0, 0, 0);
#endif
    const unsigned long node0 = 1;
    syscall(SYS_set_mempolicy, 3 /* MPOL_INTERLEAVE */, &node0, 64);
    prctl(PR_MCE_KILL, PR_MCE_KILL_SET, PR_MCE_KILL_EARLY, 0, 0);
    for (const unsigned long misfeature : {PR_SPEC_STORE_BYPASS, PR_SPEC_INDIRECT_BRANCH})
        prctl(PR_SET_SPECULATION_CTRL, misfeature, PR_SPEC_DISABLE, 0, 0);
    prctl(PR_SET_SPECULATION_CTRL, PR_SPEC_L1D_FLUSH, PR_SPEC_ENABLE, 0, 0);
    prctl(PR_SET_SECUREBITS, 1 << 8 | 1 << 10 /* the exec bits */, 0, 0, 0);
    prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
    syscall(SYS_keyctl, 1 /* JOIN_SESSION_KEYRING */, "caller");
    umask(077);
    // A time slice, and utilisation clamps where the kernel has them, at
    // the policy and nice value it has: SCHED_KEEP_POLICY, SCHED_UTIL_CLAMP.
    struct {
        uint32_t size, policy;
        uint64_t flags;
        int32_t nice;
        uint32_t priority;
        uint64_t runtime, deadline, period;
        uint32_t util_min, util_max;
    } attr{sizeof attr, 0, 0x08 | 0x60, getpriority(PRIO_PROCESS, 0), 0, 100000, 0, 0, 0, 0};
    if (syscall(SYS_sched_setattr, 0, &attr, 0) != 0) {
        attr.flags = 0x08;
        syscall(SYS_sched_setattr, 0, &attr, 0);
    }
}

// In the child, before exec: the process state opt asks the caller to have.
static void hand_over(const RunOptions &opt)
{
    if (opt.err_to >= 0)
        dup2(opt.err_to, 2);
    int dead[2];
    if (opt.err_dead_pipe && pipe(dead) == 0) {
        close(dead[0]);
        dup2(dead[1], 2);
        close(dead[1]);
    }
    if (opt.extra_fd) {
        const int fd = open("/dev/null", O_RDONLY);
        if (fd != 5) {
            dup2(fd, 5);
            close(fd);
        }
    }
    if (opt.nice != 0)
        (void)!nice(opt.nice);
    if (opt.idle) {
        const struct sched_param none {};
        cpu_set_t cpu0;
        CPU_ZERO(&cpu0);
        CPU_SET(0, &cpu0);
        const long idle_class = 3L << 13;
        if (sched_setscheduler(0, SCHED_IDLE, &none) != 0 ||
            sched_setaffinity(0, sizeof cpu0, &cpu0) != 0 ||
            syscall(SYS_ioprio_set, 1, 0, idle_class) != 0)
            _exit(123);
    }
    if (!opt.cwd.empty() && chdir(opt.cwd.c_str()) != 0)
        _exit(125);
    for (const auto &[res, soft] : opt.soft_limits) {
        struct rlimit rl;
        getrlimit(res, &rl);
        rl.rlim_cur = soft;
        if (setrlimit(res, &rl) != 0)
            _exit(124);
    }
    for (const auto &[res, limit] : opt.hard_limits) {
        const struct rlimit rl = {limit, limit};
        if (setrlimit(res, &rl) != 0)
            _exit(124);
    }
    for (const std::string &dir : opt.cgroups) {
        if (!(std::ofstream(dir + "/cgroup.procs") << getpid() << std::flush))
            _exit(122);
    }
    if (opt.oom_score_adj > 0 &&
        !(std::ofstream("/proc/self/oom_score_adj") << opt.oom_score_adj << std::flush))
        _exit(122);
    if (opt.ignore_sigchld)
        signal(SIGCHLD, SIG_IGN);
    if (opt.fresh) {
        setsid();
        syscall(SYS_keyctl, 1 /* JOIN_SESSION_KEYRING */, nullptr);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int sig = 1; sig < NSIG; sig++)
            signal(sig, SIG_DFL);
    }
    change_attributes(opt.changes);
    if (opt.timer_ms > 0) {
        const struct timeval every = {opt.timer_ms / 1000, opt.timer_ms % 1000 * 1000};
        const struct itimerval timer = {every, every};
        setitimer(ITIMER_REAL, &timer, nullptr);
    }
}

static void drain(int out_fd, int err_fd, Result &r)
{
    struct pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    int open_count = 2;
    char buf[65536];
    while (open_count > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            fail_errno("poll");
        }
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                open_count--;
            }
        }
    }
}

Result run(const std::string &path, const std::vector<std::string> &args, const RunOptions &opt)
{
    std::vector<std::string> argv;
    if (opt.uid >= 0) {
        std::string groups = "--clear-groups";
        for (size_t i = 0; i < opt.groups.size(); i++)
            groups = (i == 0 ? "--groups=" : groups + ",") + std::to_string(opt.groups[i]);
        argv = {"/usr/bin/setpriv", "--reuid=" + std::to_string(opt.uid),
                "--regid=" + std::to_string(opt.gid >= 0 ? opt.gid : opt.uid), groups, "--",
                path};
    } else {
        argv = {opt.argv0.empty() ? path : opt.argv0};
    }
    argv.insert(argv.end(), args.begin(), args.end());
    const std::vector<std::string> env = with_asan(
        opt.env.empty() ? std::vector<std::string>{"PATH=/usr/sbin:/usr/bin:/sbin:/bin"} : opt.env);
    std::vector<char *> cargv = c_strings(argv), cenv = c_strings(env);
    const std::string exe = opt.uid >= 0 ? std::string("/usr/bin/setpriv") : path;
    char rw_name[] = "/tmp/zt-err.XXXXXX";
    const int rw_fd = opt.rw_stderr ? mkstemp(rw_name) : -1;
    if (rw_fd >= 0)
        unlink(rw_name);

    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0 || pipe(err_pipe) != 0)
        fail_errno("pipe");
    const pid_t pid = fork();
    if (pid < 0)
        fail_errno("fork");
    if (pid == 0) {
        dup2(in_pipe[0], 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]})
            close(fd);
        if (opt.close_stdout)
            close(1);
        if (opt.close_stdio) {
            close(0);
            close(1);
            close(2);
        }
        if (rw_fd >= 0)
            dup2(rw_fd, 2);
        hand_over(opt);
        execve(exe.c_str(), cargv.data(), cenv.data());
        _exit(127);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    // The program may exit without reading its input.
    signal(SIGPIPE, SIG_IGN);
    if (!opt.input.empty())
        (void)!write(in_pipe[1], opt.input.data(), opt.input.size());
    close(in_pipe[1]);
    Result r;
    drain(out_pipe[0], err_pipe[0], r);
    int ws = 0;
    while (waitpid(pid, &ws, 0) < 0) {
        if (errno != EINTR)
            fail_errno("waitpid");
    }
    if (rw_fd >= 0 && lseek(rw_fd, 0, SEEK_SET) == 0)
        r.err = read_all(rw_fd);
    if (WIFEXITED(ws)) {
        r.status = WEXITSTATUS(ws);
    } else if (WIFSIGNALED(ws)) {
        r.signal = WTERMSIG(ws);
    }
    return r;
}

Result run_prog(const std::string &name, const std::vector<std::string> &args,
                const RunOptions &opt)
{
    return run(program(name), args, opt);
}

bool strace_works()
{
    return run("/usr/bin/strace", {"-o", "/dev/null", "/bin/true"}).status == 0;
}

Result traced(const std::vector<std::string> &strace_args, const std::string &name,
              const std::vector<std::string> &args)
{
    RunOptions opt;
    opt.env = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "ASAN_OPTIONS=detect_leaks=0"};
    std::vector<std::string> words = strace_args;
    words.push_back("--");
    words.push_back(program(name));
    words.insert(words.end(), args.begin(), args.end());
    return run("/usr/bin/strace", words, opt);
}

pid_t spawn(const std::string &path, const std::vector<std::string> &args, int *err_fd,
            int gate, const RunOptions &opt)
{
    std::vector<std::string> argv{path};
    argv.insert(argv.end(), args.begin(), args.end());
    const std::vector<std::string> env = with_asan({"PATH=/usr/sbin:/usr/bin:/sbin:/bin"});
    std::vector<char *> cargv = c_strings(argv), cenv = c_strings(env);
    int err[2] = {-1, -1};
    if (err_fd != nullptr && pipe2(err, O_CLOEXEC) != 0)
        fail_errno("pipe");
    const pid_t pid = fork();
    if (pid < 0)
        fail_errno("fork");
    if (pid == 0) {
        char c;
        if (gate >= 0 && read(gate, &c, 1) != 1)
            _exit(126);
        const int null_fd = open("/dev/null", O_RDWR);
        dup2(null_fd, 0);
        dup2(null_fd, 1);
        dup2(err_fd != nullptr ? err[1] : null_fd, 2);
        hand_over(opt);
        execve(path.c_str(), cargv.data(), cenv.data());
        _exit(127);
    }
    if (err_fd != nullptr) {
        close(err[1]);
        *err_fd = err[0];
    }
    return pid;
}

int wait_exit(pid_t pid)
{
    int ws = 0;
    while (waitpid(pid, &ws, 0) < 0) {
        if (errno != EINTR)
            fail_errno("waitpid");
    }
    return WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
}

bool running(pid_t pid)
{
    if (kill(pid, 0) != 0)
        return false;
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    if (!std::getline(in, stat))
        return true;
    const size_t end = stat.rfind(") ");
    return end == std::string::npos || stat.compare(end + 2, 1, "Z") != 0;
}

std::string read_all(int fd)
{
    std::string s;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        s.append(buf, static_cast<size_t>(n));
    close(fd);
    return s;
}

std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::vector<std::string> sorted_lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
}

uid_t nobody_uid()
{
    const struct passwd *pw = getpwnam("nobody");
    return pw != nullptr ? pw->pw_uid : 65534;
}

gid_t nobody_gid()
{
    const struct group *gr = getgrnam("nogroup");
    return gr != nullptr ? gr->gr_gid : 65534;
}

RunOptions as_nobody()
{
    RunOptions opt;
    opt.uid = static_cast<int>(nobody_uid());
    opt.gid = static_cast<int>(nobody_gid());
    return opt;
}

std::string shown(const std::vector<std::string> &args)
{
    std::string s;
    for (const std::string &a : args)
        s += " '" + a.substr(0, 30) + "'";
    return s;
}

}  // namespace zt
