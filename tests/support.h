// Test support: scoped temporary directories, file helpers, the throw-away
// install tree at the compiled-in root, and running the real programs.
#ifndef ZUN_TESTS_SUPPORT_H
#define ZUN_TESTS_SUPPORT_H

#include <sys/resource.h>
#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace zt {

// A directory under $TMPDIR (or /tmp) removed with everything in it when the
// object goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &rel) const { return path_ + "/" + rel; }

private:
    std::string path_;
};

std::string read_file(const std::string &path);    // fails the test when unreadable
void write_file(const std::string &path, const std::string &content, mode_t mode = 0644);
bool exists(const std::string &path);              // lstat: a dangling link exists
mode_t file_mode(const std::string &path);         // st_mode & 07777
uid_t file_uid(const std::string &path);
gid_t file_gid(const std::string &path);
void remove_tree(const std::string &path);         // rm -rf, never follows links
std::vector<std::string> list_dir(const std::string &path);  // sorted, no . and ..
bool is_root();
// getfacl's entries for path (numeric ids, no header), or "" when getfacl is
// missing or fails.
std::string acl_of(const std::string &path);
// setfacl -m spec path; false when setfacl is missing or refuses.
bool set_acl(const std::string &path, const std::string &spec);
std::string repeat(char c, size_t n);

// The files of a fresh install tree.
extern const char TREE_SENDMAIL_MC[];
extern const char TREE_GATEWAY_MC[];
extern const char TREE_HUB_MC[];
extern const char TREE_ACCESS[];
extern const char TREE_MAILERTABLE[];

// The install tree at the compiled-in root ZUN_PATH, laid fresh on
// construction and removed on destruction. Laid: bin/zun (owned by the real
// user), sendmail/etc/mail/ with sendmail.mc, example-gateway.mc,
// example-hub.mc, access and mailertable (0644), sendmail/var/run/, and
// sendmail/etc/init.d/sendmail: the fake init program, which appends one
// line per argument ("argv[i]=...") and one per environment entry
// ("env=...") to sendmail/var/run/init.log and exits with the number in
// sendmail/var/run/init.status (0 when that file is missing).
class InstallTree {
public:
    InstallTree();
    ~InstallTree();
    InstallTree(const InstallTree &) = delete;
    InstallTree &operator=(const InstallTree &) = delete;
    // ZUN_PATH followed by rel.
    static std::string path(const std::string &rel);
    static std::string mail(const std::string &name) { return path("sendmail/etc/mail/" + name); }
    // Hands every file and directory of the tree to uid:gid (root only).
    void chown_all(uid_t uid, gid_t gid);
};

// Fixture for tests that need the install tree.
class TreeTest : public ::testing::Test {
protected:
    InstallTree tree;
};

// Path of a program built beside the tests (hookset, routeset, permitset,
// mtactl, fake_init).
std::string program(const std::string &name);

struct Result {
    int status = -1;        // exit status 0..255, or -1 when killed by a signal
    int signal = 0;         // the signal that killed it, if any
    std::string out;
    std::string err;
};

struct RunOptions {
    std::string input;                  // standard input
    std::vector<std::string> env;       // environment; empty: a minimal PATH only
    std::string argv0;                  // argv[0] when not empty; default: the path
    int uid = -1;                       // run through setpriv as this uid/gid (root only)
    int gid = -1;
    std::vector<gid_t> groups;          // and with these supplementary groups (default none)
    bool close_stdio = false;           // start with descriptors 0, 1 and 2 closed
                                        // (out and err then stay empty)
    // Process state a caller can hand over through exec.
    bool err_dead_pipe = false;         // standard error a pipe whose reader is gone
    int err_to = -1;                    // standard error this descriptor (spawn only)
    bool extra_fd = false;              // descriptor 5 open on /dev/null
    int nice = 0;                       // added to the nice value
    bool idle = false;                  // SCHED_IDLE, idle I/O class, CPU 0 only
    std::string cwd;                    // working directory
    std::vector<std::pair<int, rlim_t>> soft_limits;  // resource and soft limit
    std::vector<std::pair<int, rlim_t>> hard_limits;  // resource, and its soft and hard limit
    long timer_ms = 0;                  // ITIMER_REAL due after, and every, that many ms
    std::vector<std::string> cgroups;   // cgroup directories it joins
    int oom_score_adj = 0;              // raised to this when above 0
    bool close_stdout = false;          // start with descriptor 1 closed (out stays empty)
    bool ignore_sigchld = false;        // SIGCHLD ignored
    bool rw_stderr = false;             // standard error a file open for reading and writing,
                                        // as a terminal is; err is what was written to it
    std::string changes;                // "resettable": every attribute root can take back
                                        // changed; "mdwe", "securebits": one it cannot
                                        // (status 126 where the kernel has none such)
    bool fresh = false;                 // a start as a service manager makes it: a session
                                        // and a session keyring of its own, default signals
};

// Runs path with args (not counting argv[0]) and collects its outcome.
Result run(const std::string &path, const std::vector<std::string> &args,
           const RunOptions &opt = RunOptions());
// Whether strace can trace here; some containers forbid ptrace.
bool strace_works();
// Runs the program built beside the tests under strace with strace_args.
// LeakSanitizer cannot run under ptrace, so it is off for the run.
Result traced(const std::vector<std::string> &strace_args, const std::string &name,
              const std::vector<std::string> &args);
// Shorthand: run(program(name), args).
Result run_prog(const std::string &name, const std::vector<std::string> &args,
                const RunOptions &opt = RunOptions());

// Starts path with args without waiting for it: standard input and output on
// /dev/null, the environment run() gives. Standard error goes to a pipe whose
// read end is stored in *err_fd, or to /dev/null when err_fd is null. With a
// gate descriptor the child first reads one byte from it, so that many runs
// can be let go at the same moment. opt sets up the process state a caller
// hands over, as for run().
pid_t spawn(const std::string &path, const std::vector<std::string> &args,
            int *err_fd = nullptr, int gate = -1, const RunOptions &opt = RunOptions());
// Waits for pid: its exit status 0..255, or -1 when a signal ended it.
int wait_exit(pid_t pid);
// Whether pid runs; one that has ended but was not yet waited for does not.
bool running(pid_t pid);
// Reads fd to its end and closes it.
std::string read_all(int fd);
// The lines of text without their newlines, in order.
std::vector<std::string> lines(const std::string &text);
// The lines of text without their newlines, sorted.
std::vector<std::string> sorted_lines(const std::string &text);

// An unprivileged uid and gid for set-user-id tests (nobody/nogroup).
uid_t nobody_uid();
gid_t nobody_gid();
// Options that run a program as nobody/nogroup through setpriv (root only).
RunOptions as_nobody();

// The words, quoted and cut to 30 characters each: a trace of a command line.
std::string shown(const std::vector<std::string> &args);

// What f() returns, and what it wrote to standard error meanwhile.
template <typename F>
std::pair<int, std::string> with_stderr(F f)
{
    testing::internal::CaptureStderr();
    const int result = f();
    return {result, testing::internal::GetCapturedStderr()};
}

}  // namespace zt

#define ZT_REQUIRE_ROOT(why)                                    \
    do {                                                        \
        if (!zt::is_root())                                     \
            GTEST_SKIP() << "needs root: " << (why);            \
    } while (0)

#endif
