// The programs installed for real: a root-owned set-user-id copy run by an
// unprivileged user, and copies run by users the check must refuse.
#include <mntent.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "smlib.h"
#include "support.h"

namespace {

using zt::InstallTree;
using Args = std::vector<std::string>;

// Each program with a command line that would change something, its status
// for a missing installation and for a refused caller, and its refusal.
const struct Program {
    std::string name;
    Args args;
    int missing, refused;
    std::string refusal;
} PROGRAMS[] = {
    {"hookset",
     {"-m", "f1", "-s", "unix:/run/f1", "-t", "enabled", "-f", "1", "-C", "1", "-R", "1", "-E",
      "1", "-S", "1"},
     1, 2, MSG_CANT_GO_SUID},
    {"routeset", {"-a", "-d", "a", "-h", "b"}, 1, 2, MSG_CHANGE_UID},
    {"permitset", {"-a", "-h", "x\tOK\n"}, 1, 2, MSG_CHANGE_UID},
    {"mtactl", {"-s", "start"}, 255, 255, MSG_CANT_GO_SUID},
};

// Nothing ran as root and no file changed.
void expect_untouched()
{
    EXPECT_FALSE(zt::exists(InstallTree::path("sendmail/var/run/init.log")));
    EXPECT_EQ(zt::read_file(SENDMAIL_CONF), zt::TREE_SENDMAIL_MC);
    EXPECT_EQ(zt::read_file(InstallTree::mail("access")), zt::TREE_ACCESS);
    EXPECT_EQ(zt::read_file(InstallTree::mail("mailertable")), zt::TREE_MAILERTABLE);
}

// Without CAP_SYS_RESOURCE root may not raise a hard limit.
bool can_raise_limits()
{
    for (const std::string &line : zt::lines(zt::read_file("/proc/self/status")))
        if (line.compare(0, 7, "CapEff:") == 0)
            return (std::stoull(line.substr(7), nullptr, 16) >> 24 & 1) != 0;
    return false;
}

// Whether a process here may take back a raise of its OOM score adjustment.
bool oom_raise_undone()
{
    const pid_t pid = fork();
    if (pid == 0) {
        std::ofstream("/proc/self/oom_score_adj") << 900;
        _exit(std::ofstream("/proc/self/oom_score_adj") << 0 << std::flush ? 0 : 1);
    }
    return pid > 0 && zt::wait_exit(pid) == 0;
}

// A sub-cgroup of every mounted hierarchy for a caller to join, emptied and
// removed again whatever happens. refused says where the kernel made none.
class CallerCgroups {
public:
    CallerCgroups()
    {
        FILE *mounts = setmntent("/proc/self/mounts", "r");
        while (const struct mntent *m = mounts != nullptr ? getmntent(mounts) : nullptr) {
            if (std::string(m->mnt_type).compare(0, 6, "cgroup") != 0)
                continue;
            const std::string top = m->mnt_dir, dir = top + "/zt-caller." + std::to_string(getpid());
            if (mkdir(dir.c_str(), 0755) != 0) {
                refused += top + ": " + std::strerror(errno) + "; ";
                continue;
            }
            dirs.push_back(dir);
            // A new cpuset takes no process before it has CPUs and memory nodes.
            for (const char *f : {"/cpuset.cpus", "/cpuset.mems"})
                if (zt::exists(top + f) && zt::exists(dir + f))
                    std::ofstream(dir + f) << zt::read_file(top + f);
        }
        if (mounts != nullptr)
            endmntent(mounts);
        if (dirs.empty() && refused.empty())
            refused = "no cgroup hierarchy is mounted";
    }
    ~CallerCgroups()
    {
        kill_all();
        for (const std::string &dir : dirs)
            for (int i = 0; i < 100 && rmdir(dir.c_str()) != 0 && errno == EBUSY; i++)
                usleep(10000);
    }
    CallerCgroups(const CallerCgroups &) = delete;
    CallerCgroups &operator=(const CallerCgroups &) = delete;

    // Kills every process in them, as a service manager stops a service,
    // and waits until they are empty.
    void kill_all() const
    {
        for (int i = 0; i < 500; i++) {
            std::string pids;
            for (const std::string &dir : dirs)
                pids += zt::read_file(dir + "/cgroup.procs");
            if (pids.empty())
                return;
            for (const std::string &pid : zt::lines(pids))
                kill(std::stoi(pid), SIGKILL);
            usleep(10000);
        }
    }

    std::vector<std::string> dirs;
    std::string refused;
};

class Privilege : public zt::TreeTest {
protected:
    void SetUp() override
    {
        ZT_REQUIRE_ROOT("set-user-id root copies run by another user");
        // mkdtemp made it 0700; nobody must reach the copies.
        ASSERT_EQ(chmod(bin.path().c_str(), 0755), 0);
        for (const char *prog : {"hookset", "routeset", "permitset", "mtactl"})
            install(prog, suid(prog), 04755);
        install("mtactl", plain_copy, 0755);
    }

    static void install(const std::string &prog, const std::string &to, mode_t mode)
    {
        zt::write_file(to, zt::read_file(zt::program(prog)), 0700);
        ASSERT_EQ(chown(to.c_str(), 0, 0), 0);
        // chown clears the set-id bits, so the mode comes last.
        ASSERT_EQ(chmod(to.c_str(), mode), 0);
    }
    std::string suid(const std::string &prog) const { return bin / (prog + "-suid"); }

    zt::TempDir bin;
    const std::string suid_copy = suid("mtactl"), plain_copy = bin / "mtactl";
};

TEST_F(Privilege, OwnerOfTheMainProgramRunsItAsRoot)
{
    ASSERT_EQ(chown(ZUN_BIN_PATH, zt::nobody_uid(), zt::nobody_gid()), 0);
    ASSERT_EQ(chmod(SENDMAIL_CONF, 0640), 0);
    zt::write_file(SENDMAIL_PID, "4242\n", 0600);
    // glibc gives a set-user-id program a closed standard output read-only.
    for (const auto &[args, out, closed_out] : std::vector<std::tuple<Args, std::string, bool>>{
             {{"-p"}, "4242\n", false}, {{"-g"}, "", false}, {{"-s", "start"}, "", false},
             {{"-s", "start"}, "", true}}) {
        zt::RunOptions opt = zt::as_nobody();
        opt.close_stdout = closed_out;
        const zt::Result r = zt::run(suid_copy, args, opt);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, out);
    }
    // Root's group too, not the caller's.
    EXPECT_EQ(zt::read_file(SENDMAIL_CONF), zt::TREE_GATEWAY_MC);
    EXPECT_EQ(zt::file_uid(SENDMAIL_CONF), 0u);
    EXPECT_EQ(zt::file_gid(SENDMAIL_CONF), 0u);
    EXPECT_EQ(zt::file_mode(SENDMAIL_CONF), 0640u);
    EXPECT_EQ(zt::file_uid(InstallTree::path("sendmail/var/run/init.log")), 0u);
    EXPECT_EQ(zt::file_gid(InstallTree::path("sendmail/var/run/init.log")), 0u);
}

// The lines the fake init script logs for the limits it got: those of
// process 1, as far as the hard limits in force let them be raised without
// CAP_SYS_RESOURCE.
std::string service_limits()
{
    const bool can_raise = can_raise_limits();
    std::string lines;
    for (int res = 0; res < RLIM_NLIMITS; res++) {
        struct rlimit pid1, own;
        if (prlimit(1, static_cast<__rlimit_resource>(res), nullptr, &pid1) != 0 ||
            getrlimit(res, &own) != 0)
            return "cannot read the limits of process 1";
        if (!can_raise) {
            pid1.rlim_max = std::min(pid1.rlim_max, own.rlim_max);
            pid1.rlim_cur = std::min(pid1.rlim_cur, pid1.rlim_max);
        }
        lines += "limit=" + std::to_string(res) + " " + std::to_string(pid1.rlim_cur) + " " +
                 std::to_string(pid1.rlim_max) + "\n";
    }
    return lines;
}

// Nothing of the caller's process state reaches the init script but
// descriptors 0 to 2: not its groups, descriptors, limits, priority,
// directory, timers, session, cgroups or OOM score, nor anything else the
// kernel tells a process about itself: the script's record of it is the
// one it makes when root starts it afresh. The caller is a session leader
// and changed all it could. The timer is due well after the start, while
// the script still runs. When the caller's cgroups are stopped, the daemon
// the script started lives on.
TEST_F(Privilege, InitScriptStartsAsAService)
{
    const std::string probe = InstallTree::path("sendmail/var/run/init.probe");
    zt::RunOptions fresh;
    fresh.argv0 = "sendmail";
    fresh.cwd = "/";
    fresh.fresh = true;
    ASSERT_EQ(zt::run(SENDMAIL_INIT, {"start"}, fresh).status, 0);
    const std::string clean = zt::read_file(probe);
    ASSERT_EQ(chown(ZUN_BIN_PATH, zt::nobody_uid(), zt::nobody_gid()), 0);
    // Only away from SCHED_IDLE may a caller choose its time slice.
    zt::RunOptions normal = zt::as_nobody();
    normal.changes = "resettable";
    EXPECT_EQ(zt::run(suid_copy, {"-s", "start"}, normal).status, 0);
    EXPECT_EQ(zt::read_file(probe), clean);
    zt::remove_tree(InstallTree::path("sendmail/var/run/init.log"));
    zt::write_file(InstallTree::path("sendmail/var/run/init.sleep"), "4500\n");
    zt::write_file(InstallTree::path("sendmail/var/run/init.daemon"), "30\n");
    zt::TempDir own;
    ASSERT_EQ(chown(own.path().c_str(), zt::nobody_uid(), zt::nobody_gid()), 0);
    struct rlimit core;
    ASSERT_EQ(getrlimit(RLIMIT_CORE, &core), 0);
    zt::RunOptions opt = zt::as_nobody();
    opt.groups = {zt::nobody_gid(), 100, 27};
    opt.extra_fd = true;
    opt.nice = 10;
    opt.idle = true;
    opt.cwd = own.path();
    opt.soft_limits = {{RLIMIT_FSIZE, 4096}, {RLIMIT_NOFILE, 16}, {RLIMIT_CPU, 5},
                       {RLIMIT_CORE, core.rlim_max}};
    opt.timer_ms = 4000;
    opt.changes = "resettable";
    const CallerCgroups cgroups;
    opt.cgroups = cgroups.dirs;
    opt.oom_score_adj = 900;
    const zt::Result r = zt::run(suid_copy, {"-s", "start"}, opt);
    const pid_t daemon = std::atoi(zt::read_file(SENDMAIL_PID).c_str());
    const std::shared_ptr<void> reap(nullptr, [daemon](void *) {
        if (daemon > 0)
            kill(daemon, SIGKILL);
    });
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.status, 0) << r.err;
    std::string state, limits, oom;
    for (const std::string &line :
         zt::lines(zt::read_file(InstallTree::path("sendmail/var/run/init.log")))) {
        if (line.compare(0, 6, "limit=") == 0)
            limits += line + "\n";
        else if (line.compare(0, 4, "oom=") == 0)
            oom = line;
        else if (line.compare(0, 4, "argv") != 0 && line.compare(0, 4, "env=") != 0 &&
                 (line.compare(0, 7, "cgroup=") != 0 || cgroups.refused.empty()))
            state += line + "\n";
    }
    cpu_set_t cpus;
    ASSERT_EQ(sched_getaffinity(1, sizeof cpus, &cpus), 0);
    EXPECT_EQ(state, "uid=0 0\ngid=0 0\ngroups=0\nfds=0 1 2 \nnice=0\nsched=0 cpus=" +
                         std::to_string(CPU_COUNT(&cpus)) +
                         " ioprio=" + std::to_string(syscall(SYS_ioprio_get, 1, 1)) +
                         "\ncwd=/\nsid=own\nstreams=rww\nend\n");
    EXPECT_EQ(limits, service_limits());
    EXPECT_EQ(zt::read_file(probe), clean);
    ASSERT_GT(daemon, 0);
    cgroups.kill_all();
    std::string skipped;
    if (cgroups.refused.empty())
        EXPECT_TRUE(zt::running(daemon));
    else
        skipped = "no sub-cgroup for the caller in " + cgroups.refused;
    if (oom_raise_undone())
        EXPECT_EQ(oom, "oom=0");
    else
        skipped += "the OOM score adjustment cannot be lowered here (no CAP_SYS_RESOURCE)";
    if (!skipped.empty())
        GTEST_SKIP() << skipped;
}

// What root cannot take back refuses the run before a file is opened or the
// script runs. A CPU-time limit would end an edit, or the daemon, once used
// up: every program refuses it. A start also refuses, naming it, a hard
// limit below process 1's (and the kernel's own), memory-deny-write-execute
// and locked securebits; edits keep their rule, and a low file-size limit
// fails them cleanly, if at all.
TEST_F(Privilege, WhatRootCannotUndoIsRefused)
{
    const struct {
        int res;
        rlim_t hard;
        std::string changes, kept;
    } cases[] = {{RLIMIT_CPU, 30, "", ""},
                 {RLIMIT_FSIZE, 30000, "", "hard limit RLIMIT_FSIZE"},
                 {RLIMIT_FSIZE, 200000, "", "hard limit RLIMIT_FSIZE"},
                 {RLIMIT_NOFILE, 64, "", "hard limit RLIMIT_NOFILE"},
                 {-1, 0, "mdwe", "memory-deny-write-execute"},
                 {-1, 0, "securebits", "securebits"}};
    std::string skipped;
    for (const auto &c : cases) {
        InstallTree fresh;
        ASSERT_EQ(chown(ZUN_BIN_PATH, zt::nobody_uid(), zt::nobody_gid()), 0);
        zt::RunOptions opt = zt::as_nobody();
        opt.changes = c.changes;
        struct rlimit pid1 {};
        if (c.res >= 0 && (can_raise_limits() ||
                           prlimit(1, static_cast<__rlimit_resource>(c.res), nullptr, &pid1) != 0 ||
                           pid1.rlim_max <= c.hard)) {
            skipped += std::to_string(c.res) + ": root may raise this limit here; ";
            continue;
        }
        if (c.res >= 0)
            opt.hard_limits = {{c.res, c.hard}};
        for (const Program &p : PROGRAMS) {
            if (!c.kept.empty() && p.name != "mtactl")
                continue;
            const zt::Result r = zt::run(suid(p.name), p.args, opt);
            if (r.status == 126) {
                skipped += c.kept + ": not in this kernel; ";
                break;
            }
            EXPECT_EQ(r.status, p.refused) << p.name << " " << c.kept;
            EXPECT_EQ(r.err, c.kept.empty() ? p.refusal : "Can't reset the caller's " + c.kept + ".\n");
            expect_untouched();
        }
        if (c.res >= 0 && !c.kept.empty()) {
            EXPECT_EQ(zt::run(suid("routeset"), PROGRAMS[1].args, opt).status, 0) << c.kept;
        }
    }
    if (!skipped.empty())
        GTEST_SKIP() << skipped;
}

// In a tree the caller laid, the answer must not tell whether a path exists:
// a sendmail.mc that leads to a file only root may see, or to none, is a
// missing installation to every program.
TEST_F(Privilege, InstalledCheckTellsNothingOfOtherPaths)
{
    zt::TempDir hidden;
    zt::write_file(hidden / "secret", "x\n", 0600);
    for (const std::string &target : {hidden / "secret", hidden / "none"}) {
        ASSERT_EQ(unlink(SENDMAIL_CONF), 0);
        ASSERT_EQ(symlink(target.c_str(), SENDMAIL_CONF), 0);
        tree.chown_all(zt::nobody_uid(), zt::nobody_gid());
        for (const Program &p : PROGRAMS) {
            const zt::Result r = zt::run(suid(p.name), p.args, zt::as_nobody());
            EXPECT_EQ(r.status, p.missing) << p.name << " " << target;
            EXPECT_EQ(r.err, MSG_NOT_INSTALLED) << p.name << " " << target;
        }
    }
}

// A caller who could lay, or change, any directory on the way to a file
// that root trusts could make root run or copy what it likes: the whole
// tree under the sticky /tmp, one directory of it in turn, or a place that
// a file's link leads to. Every program refuses, and nothing runs as root.
// The installed-check comes first: it takes a sendmail.mc whose path is not
// safe for a missing one.
TEST_F(Privilege, UnsafePathsAreRefused)
{
    const auto to_caller = [](const std::string &rel) {
        return [rel](InstallTree &) {
            ASSERT_EQ(chown(InstallTree::path(rel).c_str(), zt::nobody_uid(), zt::nobody_gid()), 0);
        };
    };
    const auto open_up = [](const std::string &rel, mode_t mode) {
        return [rel, mode](InstallTree &) {
            ASSERT_EQ(chmod(InstallTree::path(rel).c_str(), mode), 0);
        };
    };
    // The file moved to a directory of the caller's, a link left at its name.
    const auto moved_out = [](const std::string &file) {
        return [file](InstallTree &) {
            const std::string dir = InstallTree::path("caller/");
            ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
            ASSERT_EQ(chown(dir.c_str(), zt::nobody_uid(), zt::nobody_gid()), 0);
            ASSERT_EQ(rename(InstallTree::mail(file).c_str(), (dir + file).c_str()), 0);
            ASSERT_EQ(symlink((dir + file).c_str(), InstallTree::mail(file).c_str()), 0);
        };
    };
    const auto refused = [](const std::string &file, const std::string &then) {
        return "Permissions on " + InstallTree::mail(file) +
               " are not correct.\nFailed to open the file.: Permission denied\n" + then;
    };
    const Args &milter = PROGRAMS[0].args, &route = PROGRAMS[1].args, &access = PROGRAMS[2].args;
    // The whole tree, its root under /tmp too.
    const std::function<void(InstallTree &)> planted = [](InstallTree &tree) {
        tree.chown_all(zt::nobody_uid(), zt::nobody_gid());
    };
    const std::string none = MSG_NOT_INSTALLED;
    const struct {
        std::function<void(InstallTree &)> change;
        std::string prog;
        Args args;
        int status;
        std::string err;
    } cases[] = {
        {planted, "hookset", milter, 1, none},
        {planted, "routeset", route, 1, none},
        {planted, "permitset", access, 1, none},
        {planted, "mtactl", {"-s", "start"}, 255, none},
        {to_caller("bin"), "mtactl", {"-s", "start"}, 255, "Can't go suid.\n"},
        {open_up("", 0777), "permitset", access, 1, none},
        {to_caller("sendmail/etc/mail"), "permitset", access, 1, none},
        {to_caller("sendmail/etc/mail"), "mtactl", {"-g"}, 255, none},
        {open_up("sendmail/etc", 0775), "hookset", milter, 1, none},
        {open_up("sendmail", 0777), "routeset", route, 1, none},
        {moved_out("sendmail.mc"), "hookset", milter, 1, none},
        {moved_out("access"), "permitset", access, 255,
         refused("access", "Failed to add the access host.\n")},
        {moved_out("mailertable"), "routeset", route, 255,
         refused("mailertable", "Failed to add the relay host.\n")},
        {moved_out("example-gateway.mc"), "mtactl", {"-g"}, 1,
         "Permissions on " + InstallTree::mail("example-gateway.mc") + " are not correct.\n"},
        {to_caller("sendmail/etc/init.d"), "mtactl", {"-s", "start"}, 255,
         "Permissions on " + InstallTree::path("sendmail/etc/init.d/sendmail") +
             " are not correct.\n"},
        {to_caller("sendmail/var/run"), "mtactl", {"-p"}, 255,
         "Failed to open sendmail.pid file.: Permission denied\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.prog + zt::shown(c.args));
        InstallTree fresh;
        ASSERT_EQ(chown(ZUN_BIN_PATH, zt::nobody_uid(), zt::nobody_gid()), 0);
        zt::write_file(SENDMAIL_PID, "4242\n");
        c.change(fresh);
        const zt::Result r = zt::run(suid(c.prog), c.args, zt::as_nobody());
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
        expect_untouched();
    }
}

// Another caller, and root when another user owns the main program, whether
// the copy is set-user-id or not.
TEST_F(Privilege, AnyoneElseIsRefused)
{
    const zt::Result r = zt::run(suid_copy, {"-g"}, zt::as_nobody());
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, MSG_CANT_GO_SUID);
    ASSERT_EQ(chown(ZUN_BIN_PATH, zt::nobody_uid(), zt::nobody_gid()), 0);
    for (const std::string &path : {suid_copy, plain_copy}) {
        const zt::Result root = zt::run(path, {"-g"});
        EXPECT_EQ(root.status, 255) << path;
        EXPECT_EQ(root.err, MSG_CANT_GO_SUID) << path;
    }
    EXPECT_EQ(zt::read_file(SENDMAIL_CONF), zt::TREE_SENDMAIL_MC);
    EXPECT_FALSE(zt::exists(SENDMAIL_CONF_BK));
}

// Without the set-user-id bit the owner works with its own rights, under
// umask 022 whatever its own umask was.
TEST_F(Privilege, PlainCopyRunsWithTheCallersOwnRights)
{
    tree.chown_all(zt::nobody_uid(), zt::nobody_gid());
    ASSERT_EQ(chmod(SENDMAIL_CONF, 0666), 0);
    const mode_t saved = umask(0);
    const zt::Result r = zt::run(plain_copy, {"-h"}, zt::as_nobody());
    umask(saved);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(zt::read_file(SENDMAIL_CONF), zt::TREE_HUB_MC);
    EXPECT_EQ(zt::file_uid(SENDMAIL_CONF), zt::nobody_uid());
    EXPECT_EQ(zt::file_mode(SENDMAIL_CONF), 0644u);
}

}  // namespace
