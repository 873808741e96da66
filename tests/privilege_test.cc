// The programs installed for real: a root-owned set-user-id copy run by an
// unprivileged user, and copies run by users the check must refuse.
#include <sys/stat.h>
#include <unistd.h>

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
    zt::write_file(SENDMAIL_PID, "4242\n", 0600);
    for (const auto &[args, out] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"-p"}, "4242\n"}, {{"-g"}, ""}, {{"-s", "start"}, ""}}) {
        const zt::Result r = zt::run(suid_copy, args, zt::as_nobody());
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, out);
    }
    EXPECT_EQ(zt::read_file(SENDMAIL_CONF), zt::TREE_GATEWAY_MC);
    EXPECT_EQ(zt::file_uid(SENDMAIL_CONF), 0u);
    EXPECT_EQ(zt::file_uid(InstallTree::path("sendmail/var/run/init.log")), 0u);
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
