// The programs installed for real: a root-owned set-user-id copy run by an
// unprivileged user, and copies run by users the check must refuse.
#include <sys/stat.h>
#include <unistd.h>

#include <string>

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
        install("mtactl", suid_copy(), 04755);
        install("mtactl", plain_copy(), 0755);
    }

    std::string suid_copy() const { return bin / "mtactl-suid"; }
    std::string plain_copy() const { return bin / "mtactl"; }

    static void install(const std::string &prog, const std::string &to, mode_t mode)
    {
        zt::write_file(to, zt::read_file(zt::program(prog)), 0700);
        ASSERT_EQ(chown(to.c_str(), 0, 0), 0);
        // chown clears the set-id bits, so the mode comes last.
        ASSERT_EQ(chmod(to.c_str(), mode), 0);
    }

    static zt::Result as_nobody(const std::string &path, const std::vector<std::string> &args)
    {
        zt::RunOptions opt;
        opt.uid = static_cast<int>(zt::nobody_uid());
        opt.gid = static_cast<int>(zt::nobody_gid());
        return zt::run(path, args, opt);
    }

    zt::TempDir bin;
};

TEST_F(Privilege, OwnerOfTheMainProgramRunsItAsRoot)
{
    ASSERT_EQ(chown(ZUN_BIN_PATH, zt::nobody_uid(), zt::nobody_gid()), 0);
    zt::write_file(SENDMAIL_PID, "4242\n", 0600);
    zt::Result r = as_nobody(suid_copy(), {"-p"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "4242\n");

    r = as_nobody(suid_copy(), {"-g"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(zt::read_file(SENDMAIL_CONF), zt::TREE_GATEWAY_MC);
    EXPECT_EQ(zt::file_uid(SENDMAIL_CONF), 0u);

    r = as_nobody(suid_copy(), {"-s", "start"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(zt::file_uid(InstallTree::path("sendmail/var/run/init.log")), 0u);
}

TEST_F(Privilege, AnyoneElseIsRefused)
{
    const zt::Result r = as_nobody(suid_copy(), {"-g"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, MSG_CANT_GO_SUID);
    EXPECT_EQ(zt::read_file(SENDMAIL_CONF), zt::TREE_SENDMAIL_MC);
    EXPECT_FALSE(zt::exists(SENDMAIL_CONF_BK));
}

TEST_F(Privilege, RootIsRefusedWhenAnotherUserOwnsTheMainProgram)
{
    ASSERT_EQ(chown(ZUN_BIN_PATH, zt::nobody_uid(), zt::nobody_gid()), 0);
    for (const std::string &path : {suid_copy(), plain_copy()}) {
        const zt::Result r = zt::run(path, {"-g"});
        EXPECT_EQ(r.status, 255) << path;
        EXPECT_EQ(r.err, MSG_CANT_GO_SUID) << path;
    }
    EXPECT_EQ(zt::read_file(SENDMAIL_CONF), zt::TREE_SENDMAIL_MC);
}

// Without the set-user-id bit the owner works with its own rights, under
// umask 022 whatever its own umask was.
TEST_F(Privilege, PlainCopyRunsWithTheCallersOwnRights)
{
    tree.chown_all(zt::nobody_uid(), zt::nobody_gid());
    ASSERT_EQ(chmod(SENDMAIL_CONF, 0666), 0);
    const mode_t saved = umask(0);
    const zt::Result r = as_nobody(plain_copy(), {"-h"});
    umask(saved);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(zt::read_file(SENDMAIL_CONF), zt::TREE_HUB_MC);
    EXPECT_EQ(zt::file_uid(SENDMAIL_CONF), zt::nobody_uid());
    EXPECT_EQ(zt::file_mode(SENDMAIL_CONF), 0644u);
}

}  // namespace
