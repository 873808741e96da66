// The programs installed for real: a root-owned set-user-id copy run by an
// unprivileged user, and copies run by users the check must refuse.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "smlib.h"
#include "support.h"

namespace {

using zt::InstallTree;

class Privilege : public zt::TreeTest {
protected:
    void SetUp() override
    {
        ZT_REQUIRE_ROOT("set-user-id root copies run by another user");
        // mkdtemp made it 0700; nobody must reach the copies.
        ASSERT_EQ(chmod(bin.path().c_str(), 0755), 0);
        install(suid_copy, 04755);
        install(plain_copy, 0755);
    }

    static void install(const std::string &to, mode_t mode)
    {
        zt::write_file(to, zt::read_file(zt::program("mtactl")), 0700);
        ASSERT_EQ(chown(to.c_str(), 0, 0), 0);
        // chown clears the set-id bits, so the mode comes last.
        ASSERT_EQ(chmod(to.c_str(), mode), 0);
    }

    zt::TempDir bin;
    const std::string suid_copy = bin / "mtactl-suid", plain_copy = bin / "mtactl";
};

TEST_F(Privilege, OwnerOfTheMainProgramRunsItAsRoot)
{
    ASSERT_EQ(chown(ZUN_BIN_PATH, zt::nobody_uid(), zt::nobody_gid()), 0);
    ASSERT_EQ(chmod(SENDMAIL_CONF, 0640), 0);
    zt::write_file(SENDMAIL_PID, "4242\n", 0600);
    for (const auto &[args, out] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"-p"}, "4242\n"}, {{"-g"}, ""}, {{"-s", "start"}, ""}}) {
        const zt::Result r = zt::run(suid_copy, args, zt::as_nobody());
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
    const bool can_raise = [] {
        for (const std::string &line : zt::lines(zt::read_file("/proc/self/status")))
            if (line.compare(0, 7, "CapEff:") == 0)
                return (std::stoull(line.substr(7), nullptr, 16) >> 24 & 1) != 0;
        return false;
    }();
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
// directory or timers. The timer would fire while the script runs.
TEST_F(Privilege, InitScriptStartsAsAService)
{
    ASSERT_EQ(chown(ZUN_BIN_PATH, zt::nobody_uid(), zt::nobody_gid()), 0);
    zt::write_file(InstallTree::path("sendmail/var/run/init.sleep"), "600\n");
    zt::TempDir own;
    ASSERT_EQ(chown(own.path().c_str(), zt::nobody_uid(), zt::nobody_gid()), 0);
    struct rlimit core;
    ASSERT_EQ(getrlimit(RLIMIT_CORE, &core), 0);
    zt::RunOptions opt = zt::as_nobody();
    opt.groups = {zt::nobody_gid(), 100, 27};
    opt.extra_fd = true;
    opt.nice = 10;
    opt.cwd = own.path();
    opt.soft_limits = {{RLIMIT_FSIZE, 4096}, {RLIMIT_NOFILE, 16}, {RLIMIT_CPU, 5},
                       {RLIMIT_CORE, core.rlim_max}};
    opt.timer_ms = 300;
    const zt::Result r = zt::run(suid_copy, {"-s", "start"}, opt);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.status, 0) << r.err;
    std::string state, limits;
    for (const std::string &line :
         zt::lines(zt::read_file(InstallTree::path("sendmail/var/run/init.log")))) {
        if (line.compare(0, 6, "limit=") == 0)
            limits += line + "\n";
        else if (line.compare(0, 4, "argv") != 0 && line.compare(0, 4, "env=") != 0)
            state += line + "\n";
    }
    EXPECT_EQ(state, "uid=0 0\ngid=0 0\ngroups=0\nfds=0 1 2 \nnice=0\ncwd=/\nend\n");
    EXPECT_EQ(limits, service_limits());
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
