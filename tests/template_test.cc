// The switch between the gateway and hub templates: what is installed, what
// is kept, and that every failure leaves the files as they were.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <sstream>
#include <string>

#include "smlib.h"
#include "support.h"

namespace {

using zt::InstallTree;

const std::string TMP_HUB = std::string(SENDMAIL_HUB_CONF) + ".tmp";
const std::string TMP_GATEWAY = std::string(SENDMAIL_GATEWAY_CONF) + ".tmp";

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

class TemplateSwitch : public zt::TreeTest {
protected:
    void SetUp() override { saved_mask_ = umask(022); }
    void TearDown() override { umask(saved_mask_); }

    int run_switch(int mode)
    {
        testing::internal::CaptureStderr();
        const int rc = make_newsm_conf(mode);
        err = testing::internal::GetCapturedStderr();
        return rc;
    }

    // The switch to mode fails with message and leaves every file alone.
    void expect_refused(int mode, const std::string &message)
    {
        const auto before = snapshot();
        EXPECT_EQ(run_switch(mode), 0);
        EXPECT_EQ(err, message);
        EXPECT_EQ(snapshot(), before);
    }

    std::string err;

private:
    mode_t saved_mask_ = 0;
};

TEST_F(TemplateSwitch, InstallsTheTemplateAndKeepsTheOldFileAsBackup)
{
    EXPECT_EQ(run_switch(SM_CONFMODE_HUB), 1);
    EXPECT_EQ(err, "");
    EXPECT_EQ(zt::read_file(SENDMAIL_CONF), zt::TREE_HUB_MC);
    EXPECT_EQ(zt::read_file(SENDMAIL_CONF_BK), zt::TREE_SENDMAIL_MC);
    EXPECT_EQ(zt::read_file(SENDMAIL_HUB_CONF), zt::TREE_HUB_MC);
    EXPECT_FALSE(zt::exists(TMP_HUB));
    EXPECT_EQ(zt::file_uid(SENDMAIL_CONF), geteuid());
}

TEST_F(TemplateSwitch, OnlyModeTwoSelectsTheHub)
{
    for (const int mode : {0, 1, 3, -1}) {
        zt::write_file(SENDMAIL_CONF, "live\n");
        EXPECT_EQ(run_switch(mode), 1) << mode;
        EXPECT_EQ(zt::read_file(SENDMAIL_CONF), zt::TREE_GATEWAY_MC) << mode;
    }
    testing::internal::CaptureStderr();
    EXPECT_EQ(make_hub(), 1);
    EXPECT_EQ(zt::read_file(SENDMAIL_CONF), zt::TREE_HUB_MC);
    EXPECT_EQ(make_gateway(), 1);
    EXPECT_EQ(zt::read_file(SENDMAIL_CONF), zt::TREE_GATEWAY_MC);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(TemplateSwitch, EachSwitchReplacesTheBackup)
{
    zt::write_file(SENDMAIL_CONF_BK, "ancient\n");
    ASSERT_EQ(run_switch(SM_CONFMODE_HUB), 1);
    EXPECT_EQ(zt::read_file(SENDMAIL_CONF_BK), zt::TREE_SENDMAIL_MC);
    ASSERT_EQ(run_switch(SM_CONFMODE_GATEWAY), 1);
    EXPECT_EQ(zt::read_file(SENDMAIL_CONF_BK), zt::TREE_HUB_MC);
    EXPECT_EQ(zt::read_file(SENDMAIL_CONF), zt::TREE_GATEWAY_MC);
}

TEST_F(TemplateSwitch, NewFileHasTheOldModeLessTheUmask)
{
    const std::map<mode_t, mode_t> cases = {{0664, 0644}, {0600, 0600}, {04775, 0755}};
    for (const auto &[old_mode, new_mode] : cases) {
        ASSERT_EQ(chmod(SENDMAIL_CONF, old_mode), 0);
        ASSERT_EQ(run_switch(SM_CONFMODE_GATEWAY), 1);
        EXPECT_EQ(zt::file_mode(SENDMAIL_CONF), new_mode) << std::oct << old_mode;
    }
}

TEST_F(TemplateSwitch, CopiesTheTemplateByteForByte)
{
    const std::string text = zt::repeat('a', 1200) + "\n" + zt::repeat('b', 498) + "\n" +
                             zt::repeat('c', 499) + "\n\n" + "dnl last line, no newline";
    for (const std::string &content : {text, std::string()}) {
        zt::write_file(SENDMAIL_HUB_CONF, content);
        ASSERT_EQ(run_switch(SM_CONFMODE_HUB), 1);
        EXPECT_EQ(zt::read_file(SENDMAIL_CONF), content);
    }
}

// A NUL ends what is written of the piece that holds it, its newline too.
TEST_F(TemplateSwitch, NulByteCutsItsPiece)
{
    zt::write_file(SENDMAIL_HUB_CONF, std::string("ab\0cd\nef\n", 9));
    ASSERT_EQ(run_switch(SM_CONFMODE_HUB), 1);
    EXPECT_EQ(zt::read_file(SENDMAIL_CONF), "abef\n");
}

TEST_F(TemplateSwitch, MissingFilesAreReported)
{
    ASSERT_EQ(unlink(SENDMAIL_HUB_CONF), 0);
    expect_refused(SM_CONFMODE_HUB,
                   "Failed to open the new sendmail config file.: No such file or directory\n");
    ASSERT_EQ(unlink(SENDMAIL_CONF), 0);
    expect_refused(SM_CONFMODE_GATEWAY,
                   "Failed to stat the sendmail config file.: No such file or directory\n");
}

TEST_F(TemplateSwitch, UntrustedTemplateIsRefused)
{
    const std::string message =
        std::string("Permissions on ") + SENDMAIL_HUB_CONF + " are not correct.\n";
    ASSERT_EQ(chmod(SENDMAIL_HUB_CONF, 0664), 0);
    expect_refused(SM_CONFMODE_HUB, message);
    if (!zt::is_root())
        return;
    ASSERT_EQ(chmod(SENDMAIL_HUB_CONF, 0644), 0);
    ASSERT_EQ(chown(SENDMAIL_HUB_CONF, zt::nobody_uid(), 0), 0);
    expect_refused(SM_CONFMODE_HUB, message);
}

TEST_F(TemplateSwitch, LeftoverTemporaryFileBlocksOnlyItsTemplate)
{
    zt::write_file(TMP_HUB, "leftover\n");
    expect_refused(SM_CONFMODE_HUB, "Failed to open the tempfile.: File exists\n");
    EXPECT_EQ(run_switch(SM_CONFMODE_GATEWAY), 1);
    EXPECT_EQ(zt::read_file(SENDMAIL_CONF), zt::TREE_GATEWAY_MC);
    EXPECT_EQ(zt::read_file(TMP_HUB), "leftover\n");
}

TEST_F(TemplateSwitch, TemporaryFileWritableByOthersIsRemoved)
{
    umask(0);
    ASSERT_EQ(chmod(SENDMAIL_CONF, 0666), 0);
    expect_refused(SM_CONFMODE_HUB, "Permissions on " + TMP_HUB + " are not correct.\n");
}

TEST_F(TemplateSwitch, FailedBackupLeavesEverything)
{
    ASSERT_EQ(mkdir(SENDMAIL_CONF_BK, 0755), 0);
    zt::write_file(std::string(SENDMAIL_CONF_BK) + "/keep", "x");
    expect_refused(SM_CONFMODE_HUB, "Failed to backup the sendmail config file.: Is a directory\n");
}

TEST_F(TemplateSwitch, UnreadableTemplateInstallsNothing)
{
    ASSERT_EQ(unlink(SENDMAIL_HUB_CONF), 0);
    ASSERT_EQ(mkdir(SENDMAIL_HUB_CONF, 0755), 0);
    expect_refused(SM_CONFMODE_HUB,
                   "Failed to read the new sendmail config file.: Is a directory\n");
}

// The switch run by the program under faults that cannot be staged in the
// test process.
class SwitchFault : public zt::TreeTest {
protected:
    void expect_failed(const zt::Result &r, const std::string &message)
    {
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, message);
        EXPECT_EQ(r.out, "");
    }
};

TEST_F(SwitchFault, FileSizeLimitFailsCleanly)
{
    zt::write_file(SENDMAIL_GATEWAY_CONF, zt::repeat('g', 10000) + "\n");
    zt::write_file(SENDMAIL_CONF_BK, "previous backup\n");
    const auto before = snapshot();
    const zt::Result r =
        zt::run("/usr/bin/prlimit", {"--fsize=1000", "--", zt::program("mtactl"), "-g"});
    EXPECT_EQ(r.signal, 0);
    expect_failed(r, "Failed to write the new sendmail config file.: File too large\n");
    EXPECT_EQ(snapshot(), before);
}

// A small tmpfs over the mail directory, unmounted on every way out.
class TmpfsMount {
public:
    explicit TmpfsMount(const std::string &dir) : dir_(dir)
    {
        if (mount("zt-full", dir.c_str(), "tmpfs", 0, "size=64k,mode=0755") != 0)
            error_ = std::strerror(errno);
    }
    ~TmpfsMount()
    {
        if (error_.empty())
            umount2(dir_.c_str(), MNT_DETACH);
    }
    TmpfsMount(const TmpfsMount &) = delete;
    TmpfsMount &operator=(const TmpfsMount &) = delete;
    const std::string &error() const { return error_; }

private:
    std::string dir_;
    std::string error_;
};

// Fills the file system of path, then frees one page so that the next copy
// starts and runs out part-way.
void fill_but_one_page(const std::string &path)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    const std::string chunk(4096, 'f');
    off_t size = 0;
    ssize_t n;
    while ((n = write(fd, chunk.data(), chunk.size())) > 0)
        size += n;
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(ftruncate(fd, size >= 4096 ? size - 4096 : 0), 0);
    close(fd);
}

TEST_F(SwitchFault, FullDiskFailsBeforeTheOldFileIsMoved)
{
    ZT_REQUIRE_ROOT("mount a small tmpfs over the mail directory");
    const TmpfsMount fs(InstallTree::mail(""));
    if (!fs.error().empty())
        GTEST_SKIP() << "cannot mount a tmpfs: " << fs.error();
    zt::write_file(SENDMAIL_CONF, zt::TREE_SENDMAIL_MC);
    zt::write_file(SENDMAIL_CONF_BK, "previous backup\n");
    zt::write_file(SENDMAIL_HUB_CONF, zt::TREE_HUB_MC);
    zt::write_file(SENDMAIL_GATEWAY_CONF, zt::repeat('g', 16000) + "\n");
    fill_but_one_page(InstallTree::mail("filler"));
    const auto before = snapshot();
    const zt::Result r = zt::run_prog("mtactl", {"-g"});
    expect_failed(r,
                           "Failed to write the new sendmail config file.: No space left on device\n");
    EXPECT_EQ(snapshot(), before);
}

// strace fails chosen rename calls. LeakSanitizer cannot run under ptrace,
// so it is off for these runs.
class RenameFault : public SwitchFault {
protected:
    void SetUp() override
    {
        if (zt::run("/usr/bin/strace", {"-o", "/dev/null", "/bin/true"}).status != 0)
            GTEST_SKIP() << "strace cannot trace here";
    }
    zt::Result traced(const std::vector<std::string> &strace_args)
    {
        std::vector<std::string> args = {"-qq", "-o", trace.path() + "/log"};
        args.insert(args.end(), strace_args.begin(), strace_args.end());
        args.insert(args.end(), {"--", zt::program("mtactl"), "-h"});
        zt::RunOptions opt;
        opt.env = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "ASAN_OPTIONS=detect_leaks=0"};
        return zt::run("/usr/bin/strace", args, opt);
    }
    zt::TempDir trace;
};

TEST_F(RenameFault, FailedInstallPutsTheOldFileBack)
{
    zt::write_file(SENDMAIL_CONF_BK, "previous backup\n");
    const zt::Result r = traced({"-e", "inject=rename,renameat,renameat2:error=EIO:when=2"});
    expect_failed(r,
                           "Failed to install the new sendmail config file.: Input/output error\n");
    EXPECT_EQ(zt::read_file(SENDMAIL_CONF), zt::TREE_SENDMAIL_MC);
    EXPECT_FALSE(zt::exists(SENDMAIL_CONF_BK));
    EXPECT_FALSE(zt::exists(TMP_HUB));
}

TEST_F(RenameFault, DoubleFailureLeavesOnlyTheBackup)
{
    const zt::Result r = traced({"-e", "inject=rename,renameat,renameat2:error=EIO:when=2+"});
    expect_failed(r,
                           "Double failure. Could not restore the backup file: Input/output error\n");
    EXPECT_FALSE(zt::exists(SENDMAIL_CONF));
    EXPECT_EQ(zt::read_file(SENDMAIL_CONF_BK), zt::TREE_SENDMAIL_MC);
    EXPECT_FALSE(zt::exists(TMP_HUB));
    const zt::Result after = zt::run_prog("mtactl", {"-p"});
    EXPECT_EQ(after.status, 255);
    EXPECT_EQ(after.err, MSG_NOT_INSTALLED);
}

// The copy reaches the disk before the old file is moved, and the directory
// after the new one is in place.
TEST_F(RenameFault, CopyIsSyncedBeforeTheRenamesAndTheDirectoryAfter)
{
    const zt::Result r = traced({"-e", "trace=fsync,rename,renameat,renameat2"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::istringstream log(zt::read_file(trace.path() + "/log"));
    std::string calls;
    for (std::string line; std::getline(log, line);)
        calls += line.substr(0, line.find('(')) + " ";
    EXPECT_EQ(calls, "fsync rename rename fsync ");
}

}  // namespace
