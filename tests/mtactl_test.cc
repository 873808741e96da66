// mtactl, run as a program: every outcome of its command line.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "smlib.h"
#include "support.h"

namespace {

using zt::InstallTree;
using Args = std::vector<std::string>;

const std::string USAGE =
    "You must specify either -s to start/stop sendmail or -p to return sendmail's most recent "
    "PID\n";
const std::string USAGE_MODE =
    "You may also switch which mode your mail server is running as. -h makes it a hub and -g "
    "makes it a gateway\n";
const std::string INIT_LOG = InstallTree::path("sendmail/var/run/init.log");

// The lines of the init log that start with prefix.
std::string init_log(const std::string &prefix)
{
    if (!zt::exists(INIT_LOG))
        return "<not run>";
    std::string lines;
    for (const std::string &line : zt::lines(zt::read_file(INIT_LOG))) {
        if (line.compare(0, prefix.size(), prefix) == 0)
            lines += line + "\n";
    }
    return lines;
}

std::string init_got(const std::string &word)
{
    return "argv[0]=sendmail\nargv[1]=" + word + "\n";
}

// Each command line is run in a fresh tree changed by setup first. After it
// the init script was run as init_argv says, and sendmail.mc holds conf
// (with the old one as backup when it changed), or is not looked at when
// conf is null.
struct Outcome {
    std::vector<Args> command_lines;
    int status;
    std::string err, out = "";
    std::function<void()> setup = {};
    std::string init_argv = "<not run>";
    const char *conf = zt::TREE_SENDMAIL_MC;
    zt::RunOptions caller = {};
};

TEST(Mtactl, EveryOutcome)
{
    const std::vector<Args> any = {{}, {"-x"}, {"-s"}, {"-s", "start"}, {"-p"}, {"-g"}, {"-h"}};
    const std::string prog = zt::program("mtactl");
    const std::string bad_word = "Invalid option. You can only use -s start or -s stop.\n";
    const auto perms = [](const std::string &path) {
        return "Permissions on " + path + " are not correct.\n";
    };
    const std::string untrusted = perms(SENDMAIL_INIT);
    const std::string no_pid = "Failed to open sendmail.pid file.: ";
    const auto pid_file = [](const std::string &content) {
        return [content] { zt::write_file(SENDMAIL_PID, content); };
    };
    const auto init_file = [](const std::string &name, const std::string &content) {
        return [name, content] { zt::write_file(InstallTree::path("sendmail/var/run/" + name), content); };
    };
    zt::RunOptions no_sigchld, rw_stderr;
    no_sigchld.ignore_sigchld = true;
    rw_stderr.rw_stderr = true;
    const auto chmod_to = [](const char *path, mode_t mode) {
        return [path, mode] { ASSERT_EQ(chmod(path, mode), 0) << path; };
    };
    std::vector<Outcome> outcomes = {
        {any, 255, MSG_NOT_INSTALLED, "", [] { zt::remove_tree(SENDMAIL_CONF); }, "<not run>",
         nullptr},
        {any, 255, MSG_NOT_INSTALLED, "",
         [] {
             zt::remove_tree(SENDMAIL_ROOT);
             zt::remove_tree(ZUN_BIN_PATH);
         },
         "<not run>", nullptr},
        {any, 255, MSG_CANT_GO_SUID, "", [] { zt::remove_tree(ZUN_BIN_PATH); }},
        {{{}, {"extra", "-p"}, {"--", "-p"}}, 1, USAGE},
        {{{"-x"}}, 1, prog + ": invalid option -- 'x'\n" + USAGE + USAGE_MODE},
        {{{"-s"}}, 1, prog + ": option requires an argument -- 's'\n" + USAGE + USAGE_MODE},
        {{{"-s", "restart"}, {"-s", "START"}, {"-s", "Stop"}, {"-s", "star"}, {"-s", "sto"},
          {"-s", ""}},
         255, bad_word},
        {{{"-s", "start"}}, 255, "Failed to execute sendmail: Permission denied\n", "",
         chmod_to(SENDMAIL_INIT, 0644)},
        {{{"-s", "start"}}, 255, "Failed to execute sendmail: No such file or directory\n", "",
         [] { zt::remove_tree(SENDMAIL_INIT); }},
        {{{"-s", "start"}}, 255, untrusted, "", chmod_to(SENDMAIL_INIT, 0775)},
        // A link at the script's name could lead to any program of root's.
        {{{"-s", "start"}}, 255, "Failed to execute sendmail: Too many levels of symbolic links\n", "",
         [] {
             ASSERT_EQ(rename(SENDMAIL_INIT, (std::string(SENDMAIL_INIT) + ".real").c_str()), 0);
             ASSERT_EQ(symlink("sendmail.real", SENDMAIL_INIT), 0);
         }},
        {{{"-s", "start"}}, 255, untrusted, "", chmod_to(SENDMAIL_INIT, 0757)},
        {{{"-s", "start"}}, 7, "", "", init_file("init.status", "7\n"), init_got("start")},
        {{{"-s", "start"}}, 7, "", "", init_file("init.status", "7\n"), init_got("start"),
         zt::TREE_SENDMAIL_MC, no_sigchld},
        {{{"-s", "start"}}, 143, "", "", init_file("init.kill", "15\n"), init_got("start")},
        {{{"-s", "start"}}, 137, "", "", init_file("init.kill", "9\n"), init_got("start")},
        {{{"-s", "start"}}, 0, "ready\n", "", init_file("init.say", "ready\n"), init_got("start"),
         zt::TREE_SENDMAIL_MC, rw_stderr},
        {{{"-sstop", "-p", "more"}}, 0, "", "", {}, init_got("stop")},
        {{{"-p"}, {"-p", "-g"}, {"-pg"}, {"-p", "extra"}}, 0, "", "4242\n",
         pid_file("4242\n/usr/sbin/sendmail -bd -q30m\n")},
        {{{"-p"}}, 0, "", zt::repeat('9', 499), pid_file(zt::repeat('9', 600))},
        {{{"-p"}}, 0, "", "", pid_file("")},
        {{{"-p"}}, 255, no_pid + "No such file or directory\n"},
        {{{"-p"}}, 255, no_pid + "Too many levels of symbolic links\n", "",
         [] {
             zt::write_file(InstallTree::path("sendmail/var/run/real.pid"), "4242\n");
             ASSERT_EQ(symlink("real.pid", SENDMAIL_PID), 0);
         }},
        {{{"-p"}}, 255, no_pid + "Invalid argument\n", "",
         [] { ASSERT_EQ(mkfifo(SENDMAIL_PID, 0644), 0); }},
        {{{"-h"}}, 0, "", "", {}, "<not run>", zt::TREE_HUB_MC},
        {{{"-g"}}, 0, "", "", {}, "<not run>", zt::TREE_GATEWAY_MC},
        {{{"-h"}}, 1,
         std::string(SENDMAIL_HUB_CONF) + ".tmp was left by a switch that did not finish; it is to "
                                          "be removed once no switch runs.\n"
                                          "Failed to open the tempfile.: File exists\n",
         "",
         [] { zt::write_file(std::string(SENDMAIL_HUB_CONF) + ".tmp", "leftover\n"); }},
        {{{"-g"}}, 1, perms(SENDMAIL_GATEWAY_CONF), "", chmod_to(SENDMAIL_GATEWAY_CONF, 0664)},
    };
    for (const char *word : {"start", "stop", "starting", "stopall"})
        outcomes.push_back({{{"-s", word}}, 0, "", "", {}, init_got(word)});
    if (zt::is_root()) {
        outcomes.push_back({{{"-s", "stop"}}, 255, untrusted, "", [] {
                                ASSERT_EQ(chown(SENDMAIL_INIT, zt::nobody_uid(), 0), 0);
                            }});
    }
    for (const Outcome &o : outcomes) {
        for (const Args &args : o.command_lines) {
            SCOPED_TRACE("mtactl" + zt::shown(args));
            const InstallTree tree;
            if (o.setup)
                o.setup();
            const zt::Result r = zt::run_prog("mtactl", args, o.caller);
            EXPECT_EQ(r.status, o.status);
            EXPECT_EQ(r.err, o.err);
            EXPECT_EQ(r.out, o.out);
            EXPECT_EQ(init_log("argv"), o.init_argv);
            if (o.conf == nullptr)
                continue;
            EXPECT_EQ(zt::read_file(SENDMAIL_CONF), o.conf);
            if (std::string(o.conf) == zt::TREE_SENDMAIL_MC) {
                EXPECT_FALSE(zt::exists(SENDMAIL_CONF_BK));
            } else {
                EXPECT_EQ(zt::read_file(SENDMAIL_CONF_BK), zt::TREE_SENDMAIL_MC);
            }
        }
    }
}

using MtactlInit = zt::TreeTest;

TEST_F(MtactlInit, GetsAFreshEnvironment)
{
    zt::RunOptions opt;
    opt.env = {"PATH=/tmp/evil", "LD_PRELOAD=x", "IFS=:", "BASH_ENV=/tmp/x", "ENV=/tmp/x",
               "HOME=/root", "LANG=C.UTF-8", "LC_ALL=bad;value", "LC_MESSAGES=en_US@euro",
               "LC_TIME=de-DE_1.x", "LANG=fr_FR", "LC_=x", "LC_a=b", "LANGUAGE=de"};
    const zt::Result r = zt::run_prog("mtactl", {"-s", "start"}, opt);
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
TEST_F(MtactlInit, StartsWithDefaultSignals)
{
    if (!zt::exists("/proc/self/status") || !zt::exists("/usr/bin/awk"))
        GTEST_SKIP() << "needs /proc/<pid>/status and /usr/bin/awk";
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
    const zt::Result r = zt::run_prog("mtactl", {"-s", "start"});
    sigprocmask(SIG_SETMASK, &old_mask, nullptr);
    sigaction(SIGHUP, &old_hup, nullptr);
    sigaction(SIGTERM, &old_term, nullptr);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(zt::read_file(INIT_LOG), "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n");
}

}  // namespace
