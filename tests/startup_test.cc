// The start-up checks: the installed-check, the change of identity, the
// owner and mode test of critical files, and safe standard descriptors.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <string>

#include "edit_file.h"
#include "smlib.h"
#include "support.h"

namespace {

std::pair<int, std::string> check(FILE *fp, const char *name)
{
    return zt::with_stderr([fp, name] { return permissions_ok(fp, name); });
}

// permissions_ok on a file of ours with the given mode.
std::pair<int, std::string> check_mode(mode_t mode, const char *name)
{
    zt::TempDir dir;
    zt::write_file(dir / "f", "x\n", mode);
    FILE *fp = std::fopen((dir / "f").c_str(), "r");
    const auto verdict = check(fp, name);
    if (fp != nullptr)
        std::fclose(fp);
    return verdict;
}

const std::pair<int, std::string> PASSED = {1, ""};
std::pair<int, std::string> failed(const std::string &err) { return {0, err}; }

}  // namespace

TEST(PermissionsOk, FileMustBeOursAndNotWritableByOthers)
{
    for (const mode_t mode : {0644, 0600, 0400, 0755, 06755, 01744})
        EXPECT_EQ(check_mode(mode, "f"), PASSED) << std::oct << mode;
    for (const mode_t mode : {0664, 0646, 0620, 0602, 0666}) {
        EXPECT_EQ(check_mode(mode, "/some/where/access"),
                  failed("Permissions on /some/where/access are not correct.\n"))
            << std::oct << mode;
    }
    EXPECT_EQ(check_mode(0664, nullptr),
              failed("Permissions on a critical file are not correct.\n"));
}

// The refusal's errno is what a perror after it should say.
TEST(PermissionsOk, RefusalSetsEacces)
{
    errno = 0;
    EXPECT_EQ(check_mode(0664, "f").first, 0);
    EXPECT_EQ(errno, EACCES);
}

// Only root and the effective user may be able to change what a trusted
// name leads to: every directory on the way, and on the way to the target of
// every link.
TEST(SafePath, EveryDirectoryOnTheWayIsRootsOrOurs)
{
    ZT_REQUIRE_ROOT("directories of another user");
    const uid_t other = zt::nobody_uid();
    const struct {
        const char *what;
        std::function<void(const std::string &top)> change;
        int safe;
    } cases[] = {
        {"ours", [](const std::string &) {}, 1},
        {"another's", [=](const std::string &t) { ASSERT_EQ(lchown((t + "/a").c_str(), other, 0), 0); }, 0},
        {"group-writable", [](const std::string &t) { ASSERT_EQ(chmod((t + "/a").c_str(), 0775), 0); }, 0},
        {"world-writable", [](const std::string &t) { ASSERT_EQ(chmod((t + "/a").c_str(), 0777), 0); }, 0},
        {"sticky", [](const std::string &t) { ASSERT_EQ(chmod((t + "/a").c_str(), 01777), 0); }, 1},
        {"sticky, entry another's",
         [=](const std::string &t) {
             ASSERT_EQ(chmod((t + "/a").c_str(), 01777), 0);
             ASSERT_EQ(lchown((t + "/a/b").c_str(), other, 0), 0);
         },
         0},
        // Others may put anything in its place.
        {"missing in a sticky directory",
         [](const std::string &t) {
             ASSERT_EQ(chmod((t + "/a/b").c_str(), 01777), 0);
             ASSERT_EQ(unlink((t + "/a/b/f").c_str()), 0);
         },
         0},
        {"link to a safe directory",
         [](const std::string &t) {
             ASSERT_EQ(rename((t + "/a/b").c_str(), (t + "/c").c_str()), 0);
             ASSERT_EQ(symlink("../c", (t + "/a/b").c_str()), 0);
         },
         1},
        {"link to an unsafe directory",
         [](const std::string &t) {
             ASSERT_EQ(rename((t + "/a/b").c_str(), (t + "/c").c_str()), 0);
             ASSERT_EQ(chmod((t + "/c").c_str(), 0777), 0);
             ASSERT_EQ(symlink((t + "/c").c_str(), (t + "/a/b").c_str()), 0);
         },
         0},
        {"link of another's in a sticky directory",
         [=](const std::string &t) {
             ASSERT_EQ(rename((t + "/a/b").c_str(), (t + "/c").c_str()), 0);
             ASSERT_EQ(chmod((t + "/a").c_str(), 01777), 0);
             ASSERT_EQ(symlink("../c", (t + "/a/b").c_str()), 0);
             ASSERT_EQ(lchown((t + "/a/b").c_str(), other, 0), 0);
         },
         0},
        {"file a link to an unsafe place",
         [](const std::string &t) {
             ASSERT_EQ(mkdir((t + "/u").c_str(), 0777), 0);
             ASSERT_EQ(chmod((t + "/u").c_str(), 0777), 0);
             ASSERT_EQ(rename((t + "/a/b/f").c_str(), (t + "/u/f").c_str()), 0);
             ASSERT_EQ(symlink("../../u/f", (t + "/a/b/f").c_str()), 0);
         },
         0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        zt::TempDir dir;
        const std::string top = dir.path();
        ASSERT_EQ(mkdir((top + "/a").c_str(), 0755), 0);
        ASSERT_EQ(mkdir((top + "/a/b").c_str(), 0755), 0);
        zt::write_file(top + "/a/b/f", "x\n");
        c.change(top);
        errno = 0;
        EXPECT_EQ(safe_path((top + "/a/b/f").c_str()), c.safe);
        EXPECT_EQ(errno, c.safe ? 0 : EACCES);
    }
}

TEST(PermissionsOk, FileOfAnotherOwnerFails)
{
    ZT_REQUIRE_ROOT("chown to another user");
    zt::TempDir dir;
    zt::write_file(dir / "f", "x\n", 0600);
    ASSERT_EQ(chown((dir / "f").c_str(), zt::nobody_uid(), 0), 0);
    FILE *fp = std::fopen((dir / "f").c_str(), "r");
    EXPECT_EQ(check(fp, "f"), failed("Permissions on f are not correct.\n"));
    std::fclose(fp);
}

TEST(PermissionsOk, StreamWithoutAFileFails)
{
    EXPECT_EQ(check(nullptr, "f"), failed(""));
    char buf[] = "x\n";
    FILE *fp = fmemopen(buf, sizeof buf - 1, "r");
    ASSERT_NE(fp, nullptr);
    EXPECT_EQ(check(fp, "f"),
              failed("Failed to check access on a critical file.: Bad file descriptor\n"));
    std::fclose(fp);
}

using IsSmInstalled = zt::TreeTest;

TEST_F(IsSmInstalled, NeedsTheRootAndSendmailMc)
{
    EXPECT_EQ(is_sm_installed(), 1);
    ASSERT_EQ(unlink(SENDMAIL_CONF), 0);
    EXPECT_EQ(zt::with_stderr(is_sm_installed), failed(""));
    zt::remove_tree(SENDMAIL_ROOT);
    EXPECT_EQ(zt::with_stderr(is_sm_installed), failed(""));
}

// do_suid passes the owner of the main program, and only then sets umask 022.
class DoSuid : public zt::TreeTest {
protected:
    void SetUp() override { saved_mask_ = umask(0); }
    void TearDown() override { umask(saved_mask_); }
    mode_t saved_mask_ = 0;
};

TEST_F(DoSuid, OnlyTheOwnerOfTheMainProgramPassesAndGetsUmask022)
{
    ASSERT_EQ(zt::file_uid(ZUN_BIN_PATH), getuid());
    EXPECT_EQ(do_suid(), 1);
    EXPECT_EQ(umask(0), 022);
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
    EXPECT_EQ(zt::run_prog("mtactl", {"-s", "start"}, opt).status, 0);
    EXPECT_EQ(zt::read_file(log), "/dev/null\n/dev/null\n/dev/null\n");
}
