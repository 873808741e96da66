// The switch between the gateway and hub templates: what is installed, what
// is kept, and that every failure leaves the files as they were.
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "smlib.h"
#include "support.h"

namespace {

using zt::InstallTree;

const std::string HUB = SENDMAIL_HUB_CONF, GATEWAY = SENDMAIL_GATEWAY_CONF;
const std::string TMP_HUB = HUB + ".tmp";

// Name to content of every entry of the mail directory; other than regular
// files show as "<other>".
std::map<std::string, std::string> snapshot()
{
    const std::string dir = InstallTree::mail("");
    std::map<std::string, std::string> files;
    for (const std::string &name : zt::list_dir(dir)) {
        struct stat st;
        const bool regular = lstat((dir + name).c_str(), &st) == 0 && S_ISREG(st.st_mode);
        files[name] = regular ? zt::read_file(dir + name) : "<other>";
    }
    return files;
}

std::string perms(const std::string &path)
{
    return "Permissions on " + path + " are not correct.\n";
}

class TemplateSwitch : public zt::TreeTest {
protected:
    void SetUp() override { saved_mask_ = umask(022); }
    void TearDown() override { umask(saved_mask_); }

    // make_newsm_conf(mode) succeeds silently.
    static void expect_switch(int mode)
    {
        EXPECT_EQ(zt::with_stderr([mode] { return make_newsm_conf(mode); }),
                  std::make_pair(1, std::string())) << "mode " << mode;
    }

private:
    mode_t saved_mask_ = 0;
};

TEST_F(TemplateSwitch, InstallsTheTemplateAndKeepsTheOldFileAsTheOneBackup)
{
    zt::write_file(SENDMAIL_CONF_BK, "ancient\n");
    expect_switch(SM_CONFMODE_HUB);
    EXPECT_EQ(zt::read_file(SENDMAIL_CONF), zt::TREE_HUB_MC);
    EXPECT_EQ(zt::read_file(SENDMAIL_CONF_BK), zt::TREE_SENDMAIL_MC);
    EXPECT_EQ(zt::read_file(HUB), zt::TREE_HUB_MC);
    EXPECT_FALSE(zt::exists(TMP_HUB));
    EXPECT_EQ(zt::file_uid(SENDMAIL_CONF), geteuid());
    expect_switch(SM_CONFMODE_GATEWAY);
    EXPECT_EQ(zt::read_file(SENDMAIL_CONF), zt::TREE_GATEWAY_MC);
    EXPECT_EQ(zt::read_file(SENDMAIL_CONF_BK), zt::TREE_HUB_MC);
}

TEST_F(TemplateSwitch, OnlyModeTwoSelectsTheHub)
{
    for (const int mode : {0, 1, 3, -1}) {
        zt::write_file(SENDMAIL_CONF, "live\n");
        expect_switch(mode);
        EXPECT_EQ(zt::read_file(SENDMAIL_CONF), zt::TREE_GATEWAY_MC) << mode;
    }
    EXPECT_EQ(zt::with_stderr(make_hub), std::make_pair(1, std::string()));
    EXPECT_EQ(zt::read_file(SENDMAIL_CONF), zt::TREE_HUB_MC);
    EXPECT_EQ(zt::with_stderr(make_gateway), std::make_pair(1, std::string()));
    EXPECT_EQ(zt::read_file(SENDMAIL_CONF), zt::TREE_GATEWAY_MC);
}

// The new sendmail.mc takes the ACL of the one it replaces, narrowed like
// its mode.
TEST_F(TemplateSwitch, NewFileHasTheOldAcl)
{
    const std::string id = std::to_string(zt::nobody_gid());
    ASSERT_EQ(chmod(SENDMAIL_CONF, 0640), 0);
    if (!zt::set_acl(SENDMAIL_CONF, "g:" + id + ":r"))
        GTEST_SKIP() << "needs setfacl (Debian package acl) and a file system with ACLs";
    const std::string acl = zt::acl_of(SENDMAIL_CONF);
    if (zt::is_root()) {
        ASSERT_EQ(chown(SENDMAIL_CONF, zt::nobody_uid(), zt::nobody_gid()), 0);
    }
    const uid_t uid = zt::file_uid(SENDMAIL_CONF);
    const gid_t gid = zt::file_gid(SENDMAIL_CONF);
    expect_switch(SM_CONFMODE_HUB);
    EXPECT_EQ(zt::acl_of(SENDMAIL_CONF), acl);
    // The backup is the old file itself.
    EXPECT_EQ(zt::acl_of(SENDMAIL_CONF_BK), acl);
    EXPECT_EQ(zt::file_mode(SENDMAIL_CONF_BK), 0640u);
    EXPECT_EQ(zt::file_uid(SENDMAIL_CONF_BK), uid);
    EXPECT_EQ(zt::file_gid(SENDMAIL_CONF_BK), gid);
    // Group write granted through the ACL goes the way of the mode's.
    ASSERT_TRUE(zt::set_acl(SENDMAIL_CONF, "g:" + id + ":rw"));
    expect_switch(SM_CONFMODE_GATEWAY);
    EXPECT_EQ(zt::acl_of(SENDMAIL_CONF), "user::rw-\ngroup::r--\ngroup:" + id +
                                             ":rw-\t#effective:r--\nmask::r--\nother::---\n\n");
}

TEST_F(TemplateSwitch, NewFileHasTheOldModeLessTheUmask)
{
    for (const auto &[old_mode, new_mode] :
         std::map<mode_t, mode_t>{{0664, 0644}, {0600, 0600}, {04775, 0755}}) {
        ASSERT_EQ(chmod(SENDMAIL_CONF, old_mode), 0);
        expect_switch(SM_CONFMODE_GATEWAY);
        EXPECT_EQ(zt::file_mode(SENDMAIL_CONF), new_mode) << std::oct << old_mode;
    }
}

// Byte for byte, except that a NUL ends what is written of the piece that
// holds it, its newline too.
TEST_F(TemplateSwitch, CopiesTheTemplate)
{
    const std::string text = zt::repeat('a', 1200) + "\n" + zt::repeat('b', 498) + "\n" +
                             zt::repeat('c', 499) + "\n\n" + "dnl last line, no newline";
    for (const auto &[content, copy] : std::vector<std::pair<std::string, std::string>>{
             {text, text}, {"", ""}, {std::string("ab\0cd\nef\n", 9), "abef\n"}}) {
        zt::write_file(HUB, content);
        expect_switch(SM_CONFMODE_HUB);
        EXPECT_EQ(zt::read_file(SENDMAIL_CONF), copy);
    }
}

// In a fresh tree changed by change, the switch to mode fails with err and
// leaves every file as it was.
void expect_refused(const std::function<void()> &change, int mode, const std::string &err)
{
    SCOPED_TRACE(err);
    const InstallTree tree;
    const mode_t saved_mask = umask(022);
    change();
    const auto before = snapshot();
    EXPECT_EQ(zt::with_stderr([mode] { return make_newsm_conf(mode); }), std::make_pair(0, err));
    EXPECT_EQ(snapshot(), before);
    umask(saved_mask);
}

void make_dir(const std::string &path)
{
    zt::remove_tree(path);
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0) << path;
}

TEST(TemplateSwitchFailure, LeavesEveryFileAlone)
{
    const int hub = SM_CONFMODE_HUB;
    expect_refused([] { zt::remove_tree(HUB); }, hub,
                   "Failed to open the new sendmail config file.: No such file or directory\n");
    expect_refused([] { zt::remove_tree(SENDMAIL_CONF); }, SM_CONFMODE_GATEWAY,
                   "Failed to stat the sendmail config file.: No such file or directory\n");
    expect_refused([] { ASSERT_EQ(chmod(HUB.c_str(), 0664), 0); }, hub, perms(HUB));
    if (zt::is_root()) {
        expect_refused([] { ASSERT_EQ(chown(HUB.c_str(), zt::nobody_uid(), 0), 0); }, hub,
                       perms(HUB));
    }
    expect_refused([] { zt::write_file(TMP_HUB, "leftover\n"); }, hub,
                   HUB + ".tmp was left by a switch that did not finish; it is to be removed once "
                         "no switch runs.\nFailed to open the tempfile.: File exists\n");
    // The temporary file takes the mode of sendmail.mc.
    expect_refused(
        [] {
            umask(0);
            ASSERT_EQ(chmod(SENDMAIL_CONF, 0666), 0);
        },
        hub, perms(TMP_HUB));
    expect_refused(
        [] {
            make_dir(SENDMAIL_CONF_BK);
            zt::write_file(std::string(SENDMAIL_CONF_BK) + "/keep", "x");
        },
        hub,
                   "Failed to backup the sendmail config file.: Is a directory\n");
    // Only a regular file at the template's own name is copied.
    expect_refused([] { make_dir(HUB); }, hub,
                   "Failed to open the new sendmail config file.: Invalid argument\n");
    expect_refused(
        [] {
            zt::remove_tree(HUB);
            ASSERT_EQ(symlink(SENDMAIL_CONF, HUB.c_str()), 0);
        },
        hub, "Failed to open the new sendmail config file.: Too many levels of symbolic links\n");
}

// What a killed switch leaves: its temporary copy blocks the switches to
// its template until removed by hand; the second name it gave sendmail.mc
// for the backup blocks nothing.
TEST_F(TemplateSwitch, LeftoverTemporaryFileBlocksOnlyItsTemplate)
{
    zt::write_file(TMP_HUB, "leftover\n");
    const std::string bak_tmp = GATEWAY + ".tmp.bak";
    ASSERT_EQ(link(SENDMAIL_CONF, bak_tmp.c_str()), 0);
    expect_switch(SM_CONFMODE_GATEWAY);
    EXPECT_EQ(zt::read_file(SENDMAIL_CONF), zt::TREE_GATEWAY_MC);
    EXPECT_EQ(zt::read_file(SENDMAIL_CONF_BK), zt::TREE_SENDMAIL_MC);
    EXPECT_FALSE(zt::exists(bak_tmp));
    EXPECT_EQ(zt::read_file(TMP_HUB), "leftover\n");
}

// The switch run by the program under faults that cannot be staged in the
// test process: it ends with 1 and the message, and no file changed.
class SwitchFault : public zt::TreeTest {
protected:
    static void expect_failed(const std::vector<std::string> &command, const std::string &err)
    {
        const auto before = snapshot();
        const zt::Result r = zt::run(command[0], {command.begin() + 1, command.end()});
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, err);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(snapshot(), before);
    }
};

TEST_F(SwitchFault, FileSizeLimitFailsCleanly)
{
    zt::write_file(GATEWAY, zt::repeat('g', 10000) + "\n");
    zt::write_file(SENDMAIL_CONF_BK, "previous backup\n");
    expect_failed({"/usr/bin/prlimit", "--fsize=1000", "--", zt::program("mtactl"), "-g"},
                  "Failed to write the new sendmail config file.: File too large\n");
}

TEST_F(SwitchFault, FullDiskFailsBeforeTheOldFileIsMoved)
{
    ZT_REQUIRE_ROOT("mount a small tmpfs over the mail directory");
    const std::string dir = InstallTree::mail("");
    if (mount("zt-full", dir.c_str(), "tmpfs", 0, "size=64k,mode=0755") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
    struct Unmount {
        const std::string &dir;
        ~Unmount() { umount2(dir.c_str(), MNT_DETACH); }
    } const unmount{dir};
    zt::write_file(SENDMAIL_CONF, zt::TREE_SENDMAIL_MC);
    zt::write_file(SENDMAIL_CONF_BK, "previous backup\n");
    zt::write_file(HUB, zt::TREE_HUB_MC);
    zt::write_file(GATEWAY, zt::repeat('g', 16000) + "\n");
    // Full but for one page, so that the copy starts and runs out part-way.
    const zt::Result fill = zt::run("/bin/sh", {"-c", "dd if=/dev/zero of=\"$1\" bs=4096; "
                                                      "truncate -s -4096 \"$1\"",
                                                "sh", dir + "filler"});
    ASSERT_TRUE(fill.status == 0 && fill.err.find("No space left") != std::string::npos)
        << fill.err;
    expect_failed({zt::program("mtactl"), "-g"},
                  "Failed to write the new sendmail config file.: No space left on device\n");
}

// strace fails chosen rename calls.
class RenameFault : public zt::TreeTest {
protected:
    void SetUp() override
    {
        if (!zt::strace_works())
            GTEST_SKIP() << "strace cannot trace here";
    }
    zt::Result traced(const std::string &expr)
    {
        return zt::traced({"-qq", "-o", trace / "log", "-e", expr}, "mtactl", {"-h"});
    }
    zt::TempDir trace;
};

// sendmail.mc stays in place whichever step fails: the backup is made by a
// link and a rename, the copy installed by one more rename.
TEST_F(RenameFault, FailedStepsLeaveSendmailMcInPlace)
{
    const std::string bak_tmp = HUB + ".tmp.bak";
    const struct {
        const char *expr, *err, *backup;
    } faults[] = {
        // The first link names the new copy, already locked; the second
        // is the backup's.
        {"inject=linkat:error=EPERM:when=2", "Failed to backup the sendmail config file.: "
                                           "Operation not permitted\n", "previous backup\n"},
        {"inject=rename,renameat,renameat2:error=EIO:when=1",
         "Failed to backup the sendmail config file.: Input/output error\n", "previous backup\n"},
        {"inject=rename,renameat,renameat2:error=EIO:when=2",
         "Failed to install the new sendmail config file.: Input/output error\n",
         zt::TREE_SENDMAIL_MC},
    };
    for (const auto &f : faults) {
        SCOPED_TRACE(f.expr);
        zt::write_file(SENDMAIL_CONF_BK, "previous backup\n");
        const zt::Result r = traced(f.expr);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, f.err);
        EXPECT_EQ(zt::read_file(SENDMAIL_CONF), zt::TREE_SENDMAIL_MC);
        EXPECT_EQ(zt::read_file(SENDMAIL_CONF_BK), f.backup);
        EXPECT_FALSE(zt::exists(TMP_HUB));
        EXPECT_FALSE(zt::exists(bak_tmp));
    }
}

// The copy reaches the disk before the old file is moved, and the directory
// after the new one is in place.
TEST_F(RenameFault, CopyIsSyncedBeforeTheRenamesAndTheDirectoryAfter)
{
    const zt::Result r = traced("trace=fsync,rename,renameat,renameat2");
    ASSERT_EQ(r.status, 0) << r.err;
    std::string calls;
    for (const std::string &line : zt::lines(zt::read_file(trace / "log")))
        calls += line.substr(0, line.find('(')) + " ";
    EXPECT_EQ(calls, "fsync rename rename fsync ");
}

}  // namespace
