// The start-up checks: the installed-check, the change of identity, the
// owner and mode test of critical files, and safe standard descriptors.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "edit_file.h"
#include "smlib.h"
#include "support.h"

namespace {

struct Verdict {
    int ok;
    std::string err;
};

Verdict check(FILE *fp, const char *name)
{
    testing::internal::CaptureStderr();
    const int ok = permissions_ok(fp, name);
    return {ok, testing::internal::GetCapturedStderr()};
}

Verdict check_file(const std::string &path, const char *name)
{
    FILE *fp = std::fopen(path.c_str(), "r");
    if (fp == nullptr) {
        ADD_FAILURE() << "cannot open " << path;
        return {-1, ""};
    }
    const Verdict v = check(fp, name);
    std::fclose(fp);
    return v;
}

}  // namespace

TEST(PermissionsOk, OwnFileNotWritableByOthersPasses)
{
    zt::TempDir dir;
    for (const mode_t mode : {0644, 0600, 0400, 0755, 06755, 01744}) {
        zt::write_file(dir / "f", "x\n", mode);
        const Verdict v = check_file(dir / "f", "f");
        EXPECT_EQ(v.ok, 1) << std::oct << mode;
        EXPECT_EQ(v.err, "");
    }
}

TEST(PermissionsOk, GroupOrOtherWriteFailsNamingTheFile)
{
    zt::TempDir dir;
    for (const mode_t mode : {0664, 0646, 0620, 0602, 0666}) {
        zt::write_file(dir / "f", "x\n", mode);
        const Verdict v = check_file(dir / "f", "/some/where/access");
        EXPECT_EQ(v.ok, 0) << std::oct << mode;
        EXPECT_EQ(v.err, "Permissions on /some/where/access are not correct.\n");
    }
}

TEST(PermissionsOk, WithoutANameTheMessageSaysCriticalFile)
{
    zt::TempDir dir;
    zt::write_file(dir / "f", "x\n", 0664);
    const Verdict v = check_file(dir / "f", nullptr);
    EXPECT_EQ(v.ok, 0);
    EXPECT_EQ(v.err, "Permissions on a critical file are not correct.\n");
}

TEST(PermissionsOk, FileOfAnotherOwnerFails)
{
    ZT_REQUIRE_ROOT("chown to another user");
    zt::TempDir dir;
    zt::write_file(dir / "f", "x\n", 0600);
    ASSERT_EQ(chown((dir / "f").c_str(), zt::nobody_uid(), 0), 0);
    const Verdict v = check_file(dir / "f", "f");
    EXPECT_EQ(v.ok, 0);
    EXPECT_EQ(v.err, "Permissions on f are not correct.\n");
}

TEST(PermissionsOk, NullStreamFailsSilently)
{
    const Verdict v = check(nullptr, "f");
    EXPECT_EQ(v.ok, 0);
    EXPECT_EQ(v.err, "");
}

TEST(PermissionsOk, StreamWithoutDescriptorIsReported)
{
    char buf[] = "x\n";
    FILE *fp = fmemopen(buf, sizeof buf - 1, "r");
    ASSERT_NE(fp, nullptr);
    const Verdict v = check(fp, "f");
    std::fclose(fp);
    EXPECT_EQ(v.ok, 0);
    EXPECT_EQ(v.err, "Failed to check access on a critical file.: Bad file descriptor\n");
}

using IsSmInstalled = zt::TreeTest;

TEST_F(IsSmInstalled, NeedsTheRootAndSendmailMc)
{
    EXPECT_EQ(is_sm_installed(), 1);
    ASSERT_EQ(unlink(SENDMAIL_CONF), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(is_sm_installed(), 0);
    zt::remove_tree(SENDMAIL_ROOT);
    EXPECT_EQ(is_sm_installed(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

class DoSuid : public zt::TreeTest {
protected:
    void SetUp() override { saved_mask_ = umask(0); }
    void TearDown() override { umask(saved_mask_); }
    mode_t saved_mask_ = 0;
};

TEST_F(DoSuid, OwnerOfTheMainProgramPassesAndGetsUmask022)
{
    ASSERT_EQ(zt::file_uid(ZUN_BIN_PATH), getuid());
    EXPECT_EQ(do_suid(), 1);
    EXPECT_EQ(umask(0), 022);
}

TEST_F(DoSuid, MissingMainProgramFails)
{
    ASSERT_EQ(unlink(ZUN_BIN_PATH), 0);
    EXPECT_EQ(do_suid(), 0);
    EXPECT_EQ(umask(0), 0);
}

TEST_F(DoSuid, RootIsRefusedWhenAnotherUserOwnsTheMainProgram)
{
    ZT_REQUIRE_ROOT("chown the main program to another user");
    ASSERT_EQ(chown(ZUN_BIN_PATH, zt::nobody_uid(), 0), 0);
    EXPECT_EQ(do_suid(), 0);
    EXPECT_EQ(umask(0), 0);
}

using StartUp = zt::TreeTest;

// A script stands in for the init script to show which files the program
// left on descriptors 0, 1 and 2.
TEST_F(StartUp, ClosedStandardDescriptorsAreOpenedOnDevNull)
{
    const std::string log = zt::InstallTree::path("sendmail/var/run/fds.log");
    zt::write_file(SENDMAIL_INIT,
                   "#!/bin/sh\nfds=$(readlink /proc/$$/fd/0 /proc/$$/fd/1 /proc/$$/fd/2)\n"
                   "echo \"$fds\" > " + log + "\n",
                   0755);
    zt::RunOptions opt;
    opt.close_stdio = true;
    const zt::Result r = zt::run_prog("mtactl", {"-s", "start"}, opt);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(zt::read_file(log), "/dev/null\n/dev/null\n/dev/null\n");
}
