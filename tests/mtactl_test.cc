// mtactl, run as a program: every outcome of its command line.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "smlib.h"
#include "support.h"

namespace {

using zt::InstallTree;

const std::string USAGE =
    "You must specify either -s to start/stop sendmail or -p to return sendmail's most recent "
    "PID\n";
const std::string USAGE_MODE =
    "You may also switch which mode your mail server is running as. -h makes it a hub and -g "
    "makes it a gateway\n";
const std::string BAD_WORD = "Invalid option. You can only use -s start or -s stop.\n";
const std::string INIT_LOG = InstallTree::path("sendmail/var/run/init.log");

class Mtactl : public zt::TreeTest {
protected:
    static zt::Result mtactl(const std::vector<std::string> &args,
                             const zt::RunOptions &opt = zt::RunOptions())
    {
        return zt::run_prog("mtactl", args, opt);
    }

    static void expect(const zt::Result &r, int status, const std::string &err,
                       const std::string &out = "")
    {
        EXPECT_EQ(r.status, status);
        EXPECT_EQ(r.err, err);
        EXPECT_EQ(r.out, out);
    }

    // The lines of the init log that start with prefix.
    static std::string init_log(const std::string &prefix)
    {
        if (!zt::exists(INIT_LOG))
            return "<not run>";
        std::istringstream log(zt::read_file(INIT_LOG));
        std::string lines;
        for (std::string line; std::getline(log, line);) {
            if (line.compare(0, prefix.size(), prefix) == 0)
                lines += line + "\n";
        }
        return lines;
    }
};

const std::vector<std::vector<std::string>> ANY_COMMAND_LINE = {
    {}, {"-x"}, {"-s"}, {"-s", "start"}, {"-p"}, {"-g"}, {"-h"}};

TEST_F(Mtactl, NotInstalledComesBeforeAnythingElse)
{
    ASSERT_EQ(unlink(SENDMAIL_CONF), 0);
    for (const auto &args : ANY_COMMAND_LINE)
        expect(mtactl(args), 255, MSG_NOT_INSTALLED);
    zt::remove_tree(SENDMAIL_ROOT);
    ASSERT_EQ(unlink(ZUN_BIN_PATH), 0);
    for (const auto &args : ANY_COMMAND_LINE)
        expect(mtactl(args), 255, MSG_NOT_INSTALLED);
}

TEST_F(Mtactl, CallerWhoDoesNotOwnTheMainProgramIsRefused)
{
    ASSERT_EQ(unlink(ZUN_BIN_PATH), 0);
    for (const auto &args : ANY_COMMAND_LINE)
        expect(mtactl(args), 255, MSG_CANT_GO_SUID);
    EXPECT_EQ(init_log(""), "<not run>");
}

TEST_F(Mtactl, WithoutAnOptionOnlyTheFirstUsageLine)
{
    for (const auto &args : std::vector<std::vector<std::string>>{{}, {"extra", "-p"}, {"--", "-p"}})
        expect(mtactl(args), 1, USAGE);
}

TEST_F(Mtactl, BadOptionGivesTheDiagnosticAndBothUsageLines)
{
    const std::string prog = zt::program("mtactl");
    expect(mtactl({"-x"}), 1, prog + ": invalid option -- 'x'\n" + USAGE + USAGE_MODE);
    expect(mtactl({"-s"}), 1, prog + ": option requires an argument -- 's'\n" + USAGE + USAGE_MODE);
}

TEST_F(Mtactl, WordsNotStartingWithStartOrStopAreRefused)
{
    for (const char *word : {"restart", "START", "Stop", "star", "sto", ""})
        expect(mtactl({"-s", word}), 255, BAD_WORD);
    EXPECT_EQ(init_log(""), "<not run>");
}

TEST_F(Mtactl, InitGetsSendmailAndTheWordUnchanged)
{
    for (const char *word : {"start", "stop", "starting", "stopall"}) {
        unlink(INIT_LOG.c_str());
        expect(mtactl({"-s", word}), 0, "");
        EXPECT_EQ(init_log("argv"), std::string("argv[0]=sendmail\nargv[1]=") + word + "\n");
    }
    unlink(INIT_LOG.c_str());
    expect(mtactl({"-sstop", "-p", "more"}), 0, "");
    EXPECT_EQ(init_log("argv"), "argv[0]=sendmail\nargv[1]=stop\n");
}

TEST_F(Mtactl, InitExitStatusPassesThrough)
{
    zt::write_file(InstallTree::path("sendmail/var/run/init.status"), "7\n");
    expect(mtactl({"-s", "start"}), 7, "");
}

TEST_F(Mtactl, InitGetsAFreshEnvironment)
{
    zt::RunOptions opt;
    opt.env = {"PATH=/tmp/evil", "LD_PRELOAD=x", "IFS=:", "BASH_ENV=/tmp/x", "ENV=/tmp/x",
               "HOME=/root", "LANG=C.UTF-8", "LC_ALL=bad;value", "LC_MESSAGES=en_US@euro",
               "LC_TIME=de-DE_1.x", "LANG=fr_FR", "LC_=x", "LC_a=b", "LANGUAGE=de"};
    const zt::Result r = mtactl({"-s", "start"}, opt);
    EXPECT_EQ(r.status, 0);
    // The loader warns about the bad preload once, for mtactl, not again for the script.
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_NE(r.err.find("LD_PRELOAD"), std::string::npos) << r.err;
    EXPECT_EQ(init_log("env="),
              "env=PATH=/usr/sbin:/usr/bin:/sbin:/bin\nenv=LANG=C.UTF-8\n"
              "env=LC_MESSAGES=en_US@euro\nenv=LC_TIME=de-DE_1.x\n");
}

// The caller's ignored and blocked signals, and the SIGXFSZ that mtactl
// ignores itself, would otherwise carry over to the script and the daemon.
TEST_F(Mtactl, InitStartsWithDefaultSignals)
{
    if (!zt::exists("/proc/self/status"))
        GTEST_SKIP() << "needs /proc/<pid>/status";
    if (!zt::exists("/usr/bin/awk"))
        GTEST_SKIP() << "needs /usr/bin/awk";
    // awk, unlike a shell, leaves the signal mask as it found it.
    zt::write_file(SENDMAIL_INIT,
                   "#!/usr/bin/awk -f\nBEGIN { while ((getline l < \"/proc/self/status\") > 0)"
                   " if (l ~ /^Sig(Blk|Ign):/) print l > \"" + INIT_LOG + "\" }\n",
                   0755);
    struct sigaction ignore {}, old_hup {}, old_term {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(sigaction(SIGHUP, &ignore, &old_hup), 0);
    ASSERT_EQ(sigaction(SIGTERM, &ignore, &old_term), 0);
    sigset_t block, old_mask;
    sigemptyset(&block);
    sigaddset(&block, SIGUSR1);
    sigaddset(&block, SIGTERM);
    ASSERT_EQ(sigprocmask(SIG_BLOCK, &block, &old_mask), 0);
    const zt::Result r = mtactl({"-s", "start"});
    sigprocmask(SIG_SETMASK, &old_mask, nullptr);
    sigaction(SIGHUP, &old_hup, nullptr);
    sigaction(SIGTERM, &old_term, nullptr);
    expect(r, 0, "");
    EXPECT_EQ(zt::read_file(INIT_LOG), "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n");
}

TEST_F(Mtactl, MissingOrUnrunnableInitScript)
{
    ASSERT_EQ(chmod(SENDMAIL_INIT, 0644), 0);
    expect(mtactl({"-s", "start"}), 255, "Failed to execute sendmail: Permission denied\n");
    ASSERT_EQ(unlink(SENDMAIL_INIT), 0);
    expect(mtactl({"-s", "start"}), 255, "Failed to execute sendmail: No such file or directory\n");
}

TEST_F(Mtactl, UntrustedInitScriptIsNotRun)
{
    const std::string message =
        std::string("Permissions on ") + SENDMAIL_INIT + " are not correct.\n";
    for (const mode_t mode : {0775, 0757}) {
        ASSERT_EQ(chmod(SENDMAIL_INIT, mode), 0);
        expect(mtactl({"-s", "start"}), 255, message);
    }
    if (zt::is_root()) {
        ASSERT_EQ(chmod(SENDMAIL_INIT, 0755), 0);
        ASSERT_EQ(chown(SENDMAIL_INIT, zt::nobody_uid(), 0), 0);
        expect(mtactl({"-s", "stop"}), 255, message);
    }
    EXPECT_EQ(init_log(""), "<not run>");
}

TEST_F(Mtactl, PidPrintsOnlyTheFirstLineAndNothingElseHappens)
{
    zt::write_file(SENDMAIL_PID, "4242\n/usr/sbin/sendmail -bd -q30m\n");
    for (const auto &args :
         std::vector<std::vector<std::string>>{{"-p"}, {"-p", "-g"}, {"-pg"}, {"-p", "extra"}})
        expect(mtactl(args), 0, "", "4242\n");
    EXPECT_EQ(zt::read_file(SENDMAIL_CONF), zt::TREE_SENDMAIL_MC);
    EXPECT_FALSE(zt::exists(SENDMAIL_CONF_BK));
}

TEST_F(Mtactl, PidLineIsReadUpTo499Bytes)
{
    zt::write_file(SENDMAIL_PID, zt::repeat('9', 600));
    expect(mtactl({"-p"}), 0, "", zt::repeat('9', 499));
    zt::write_file(SENDMAIL_PID, "");
    expect(mtactl({"-p"}), 0, "", "");
}

TEST_F(Mtactl, PidFileMustBeARegularFileAtItsName)
{
    const std::string prefix = "Failed to open sendmail.pid file.: ";
    expect(mtactl({"-p"}), 255, prefix + "No such file or directory\n");
    zt::write_file(InstallTree::path("sendmail/var/run/real.pid"), "4242\n");
    ASSERT_EQ(symlink("real.pid", SENDMAIL_PID), 0);
    expect(mtactl({"-p"}), 255, prefix + "Too many levels of symbolic links\n");
    ASSERT_EQ(unlink(SENDMAIL_PID), 0);
    ASSERT_EQ(mkfifo(SENDMAIL_PID, 0644), 0);
    expect(mtactl({"-p"}), 255, prefix + "Invalid argument\n");
}

TEST_F(Mtactl, SwitchSucceedsSilently)
{
    expect(mtactl({"-h"}), 0, "");
    EXPECT_EQ(zt::read_file(SENDMAIL_CONF), zt::TREE_HUB_MC);
    expect(mtactl({"-g"}), 0, "");
    EXPECT_EQ(zt::read_file(SENDMAIL_CONF), zt::TREE_GATEWAY_MC);
    EXPECT_EQ(zt::read_file(SENDMAIL_CONF_BK), zt::TREE_HUB_MC);
}

TEST_F(Mtactl, FailedSwitchExitsOne)
{
    zt::write_file(std::string(SENDMAIL_HUB_CONF) + ".tmp", "leftover\n");
    expect(mtactl({"-h"}), 1, "Failed to open the tempfile.: File exists\n");
    ASSERT_EQ(chmod(SENDMAIL_GATEWAY_CONF, 0664), 0);
    expect(mtactl({"-g"}), 1,
           std::string("Permissions on ") + SENDMAIL_GATEWAY_CONF + " are not correct.\n");
    EXPECT_EQ(zt::read_file(SENDMAIL_CONF), zt::TREE_SENDMAIL_MC);
}

}  // namespace
