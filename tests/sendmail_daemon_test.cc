// What the programs write, read by a real sendmail: a daemon started by the
// sandbox kit's init script and sendmail's address test mode.
//
// sendmail refuses files under a directory that others may write to, and
// the compiled-in install tree lies under /tmp, so each test lays the kit in
// a private directory under /run (or /root) and copies in the files the
// programs edited in the tree.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "support.h"

namespace {

using Args = std::vector<std::string>;

const char SENDMAIL[] = "/usr/sbin/sendmail";
const char MAKEMAP[] = "/usr/sbin/makemap";
const char M4[] = "/usr/bin/m4";
const char CF_M4[] = "/usr/share/sendmail/cf/m4/cf.m4";
const char UNSHARE[] = "/usr/bin/unshare";
const std::string KIT = std::string(ZT_SOURCE_DIR) + "/sandbox/";
const std::string LAY = std::string(ZT_SOURCE_DIR) + "/scripts/lay-sandbox.sh";

// A directory that sendmail trusts: its whole chain is owned by root and
// closed to group and others.
std::string safe_base()
{
    for (const char *base : {"/run", "/root"}) {
        struct stat st;
        if (stat(base, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == 0 &&
            (st.st_mode & 022) == 0)
            return base;
    }
    return "";
}

// The reason the real mail server cannot run here, or "" when it can.
std::string missing_piece()
{
    if (!zt::is_root())
        return "needs root: the daemon runs in namespaces of its own";
    for (const char *p : {SENDMAIL, MAKEMAP, M4, CF_M4, UNSHARE}) {
        if (!zt::exists(p))
            return std::string(p) + " is not installed";
    }
    if (zt::run(UNSHARE, {"-u", "-m", "true"}).status != 0)
        return "cannot make UTS and mount namespaces";
    if (safe_base().empty())
        return "neither /run nor /root is a directory that sendmail trusts";
    return "";
}

// A free port of 127.0.0.1; with taken, a socket that keeps it taken.
int free_port(int *taken = nullptr)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    const bool ok = fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
                    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0 &&
                    listen(fd, 1) == 0;
    if (ok && taken != nullptr)
        *taken = fd;
    else if (fd >= 0)
        close(fd);
    if (!ok)
        throw std::runtime_error("cannot find a free port");
    return ntohs(a.sin_port);
}

// The kit laid in a safe directory, as scripts/lay-sandbox.sh lays it, with
// its mail server stopped again whatever happens.
class Sandbox {
public:
    Sandbox() : port_(free_port())
    {
        // The milter socket lies below it, and hookset refuses a word
        // without a lower-case letter: the random part never starts one.
        std::string tmpl = safe_base() + "/zt-sendmail.boxXXXXXX";
        if (mkdtemp(tmpl.data()) == nullptr)
            throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
        root_ = tmpl;
        const zt::Result r = zt::run("/bin/bash", {LAY, root_, std::to_string(port_)});
        if (r.status != 0) {
            zt::remove_tree(root_);
            throw std::runtime_error("lay-sandbox.sh: " + r.err);
        }
    }
    ~Sandbox()
    {
        try {
            (void)init("stop");
        } catch (const std::exception &) {
        }
        if (const pid_t pid = recorded_pid(); pid > 0 && zt::running(pid))
            kill(pid, SIGKILL);
        zt::remove_tree(root_);
    }
    Sandbox(const Sandbox &) = delete;
    Sandbox &operator=(const Sandbox &) = delete;

    std::string mail(const std::string &name) const { return root_ + "/sendmail/etc/mail/" + name; }
    std::string sendmail_dir() const { return root_ + "/sendmail"; }

    std::string script() const { return root_ + "/sendmail/etc/init.d/sendmail"; }
    zt::Result init(const std::string &word) const { return zt::run(script(), {word}); }

    pid_t recorded_pid() const
    {
        std::ifstream in(root_ + "/sendmail/var/run/sendmail.pid");
        long pid = 0;
        return in >> pid ? static_cast<pid_t>(pid) : 0;
    }

    // Hands a file that a program edited in the tree to the mail server,
    // with its map rebuilt where it has one.
    void take(const std::string &name) const
    {
        const std::string text = zt::read_file(zt::InstallTree::mail(name));
        zt::write_file(mail(name), text);
        if (name == "sendmail.mc")
            return;
        zt::RunOptions opt;
        opt.input = text;
        const zt::Result r = zt::run(MAKEMAP, {"hash", mail(name)}, opt);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
    }

    void start() const
    {
        const zt::Result r = init("start");
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        ASSERT_GT(recorded_pid(), 0);
    }

    // An SMTP session with the daemon that gives sender: the greeting, then
    // the last line of the reply to each command, without its CR.
    Args mail_from(const std::string &sender) const
    {
        const zt::Result r = zt::run(
            "/bin/bash",
            {"-c",
             "exec 3<>/dev/tcp/127.0.0.1/$1 || exit; shift\n"
             "reply() {\n"
             "  while IFS= read -r -t 10 l <&3; do\n"
             "    l=${l%$'\\r'}\n"
             "    case $l in [0-9][0-9][0-9]-*) ;; *) echo \"$l\"; return ;; esac\n"
             "  done; echo '<no reply>'\n"
             "}\n"
             "reply; for c; do printf '%s\\r\\n' \"$c\" >&3; reply; done\n",
             "smtp", std::to_string(port_), "HELO client.example", "MAIL FROM:<" + sender + ">",
             "QUIT"});
        EXPECT_EQ(r.status, 0) << r.err;
        return zt::lines(r.out);
    }

    // The final parse result of sendmail -bt for address, with the
    // configuration that start built and the host name and name service
    // that the init script gives the daemon.
    std::string route(const std::string &address) const
    {
        zt::RunOptions opt;
        opt.input = "3,0 " + address + "\n";
        const zt::Result r = zt::run(
            UNSHARE,
            {"-u", "-m", "sh", "-c",
             "set -e; mount --bind \"$1/hosts\" /etc/hosts; "
             "mount --bind \"$1/nsswitch.conf\" /etc/nsswitch.conf; "
             "hostname sandbox.example; exec /usr/sbin/sendmail -bt -C \"$1/sendmail.cf\"",
             "sh", mail("")},
            opt);
        EXPECT_EQ(r.status, 0) << r.err;
        const std::string key = "\nparse            returns: ";
        const size_t at = r.out.rfind(key);
        if (at == std::string::npos)
            return "<no parse result>";
        return r.out.substr(at + key.size(), r.out.find('\n', at + key.size()) - at - key.size());
    }

private:
    int port_;
    std::string root_;
};

class SendmailDaemon : public zt::TreeTest {
protected:
    void SetUp() override
    {
        const std::string why = missing_piece();
        if (!why.empty())
            GTEST_SKIP() << why;
        box = std::make_unique<Sandbox>();
        // The tree starts from the kit's own sources.
        for (const char *name : {"sendmail.mc", "access", "mailertable"})
            zt::write_file(zt::InstallTree::mail(name), zt::read_file(KIT + name));
    }

    static void run_ok(const std::string &prog, const Args &args)
    {
        const zt::Result r = zt::run_prog(prog, args);
        ASSERT_EQ(r.status, 0) << prog << ": " << r.err;
    }

    std::unique_ptr<Sandbox> box;
};

const std::string GREETING = "220 sandbox.example ESMTP gateway ready";
const std::string HELLO = "250 sandbox.example Hello localhost [127.0.0.1], pleased to meet you";
const std::string BYE = "221 2.0.0 sandbox.example closing connection";
const std::string SENDER_OK = "250 2.1.0 <root@sandbox.example>... Sender ok";

// The milter "scan" is declared with a socket that does not exist: the fail
// type decides how the daemon then answers; disabled, it is not declared.
TEST_F(SendmailDaemon, MilterThatIsDownIsHandledByItsFailType)
{
    struct Case {
        std::string fail_type, status;
        Args replies;
    };
    const std::vector<Case> cases = {
        {"1", "enabled",
         {"554 sandbox.example ESMTP not accepting messages", HELLO, "550 5.0.0 Command rejected",
          BYE}},
        {"0", "enabled", {GREETING, HELLO, "451 4.3.2 Please try again later", BYE}},
        {"2", "enabled", {GREETING, HELLO, SENDER_OK, BYE}},
        {"1", "disabled", {GREETING, HELLO, SENDER_OK, BYE}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("-f " + c.fail_type + " -t " + c.status);
        box = std::make_unique<Sandbox>();
        run_ok("hookset", {"-m", "scan", "-s", "unix:" + box->sendmail_dir() + "/var/run/none.sock",
                           "-t", c.status, "-f", c.fail_type, "-C", "1", "-R", "1", "-E", "1",
                           "-S", "1"});
        box->take("sendmail.mc");
        box->start();
        EXPECT_EQ(zt::read_file(box->mail("sendmail.cf")).find("\nXscan, S=unix:") ==
                      std::string::npos,
                  c.status == "disabled");
        EXPECT_EQ(box->mail_from("root@sandbox.example"), c.replies);
    }
}

TEST_F(SendmailDaemon, StopEndsTheRecordedProcess)
{
    box->start();
    const pid_t pid = box->recorded_pid();
    EXPECT_TRUE(zt::running(pid));
    const zt::Result r = box->init("stop");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "sendmail: stopped (pid " + std::to_string(pid) + ")\n");
    // A killed process may take a moment to be seen as gone on a loaded machine.
    for (int i = 0; i < 50 && zt::running(pid); i++)
        usleep(100000);
    EXPECT_FALSE(zt::running(pid));
}

// Once the server has died, any user may get its process id again: start
// and stop must not take that user's process for the server.
TEST_F(SendmailDaemon, RecordedIdOfAnotherUsersProcessIsNotTheServer)
{
    const std::string uid = std::to_string(zt::nobody_uid());
    const pid_t other = zt::spawn("/usr/bin/setpriv", {"--reuid=" + uid, "--regid=" + uid,
                                                       "--clear-groups", "sleep", "30"});
    for (int i = 0; i < 100 && zt::read_file("/proc/" + std::to_string(other) + "/comm") != "sleep\n"; i++)
        usleep(50000);
    zt::write_file(box->sendmail_dir() + "/var/run/sendmail.pid", std::to_string(other) + "\n");
    EXPECT_EQ(box->init("stop").out, "sendmail: not running\n");
    box->start();
    EXPECT_NE(box->recorded_pid(), other);
    EXPECT_TRUE(zt::running(other));
    kill(other, SIGKILL);
    zt::wait_exit(other);
}

TEST_F(SendmailDaemon, AccessEntriesApplyOnceTheMapIsRebuilt)
{
    box->start();
    const std::string unresolvable =
        "553 5.1.8 <news@example.org>... Domain of sender address news@example.org does not exist";
    EXPECT_EQ(box->mail_from("news@example.org")[2], unresolvable);
    const std::vector<std::pair<Args, std::string>> steps = {
        {{"-a", "-h", "From:example.org\tOK\n"}, "250 2.1.0 <news@example.org>... Sender ok"},
        {{"-e", "-H", "From:example.org", "-h", "From:example.org\tREJECT\n"},
         "550 5.7.1 <news@example.org>... Access denied"},
        {{"-r", "5"}, unresolvable},
    };
    for (const auto &[args, reply] : steps) {
        run_ok("permitset", args);
        box->take("access");
        EXPECT_EQ(box->mail_from("news@example.org")[2], reply) << zt::shown(args);
    }
}

// sendmail's address test mode, on the mailertable that routeset edits.
TEST_F(SendmailDaemon, RelayHostsChangeTheRoute)
{
    box->start();
    const std::string direct = "$# esmtp $@ example . com . $: user < @ example . com . >";
    const std::vector<std::pair<Args, std::string>> steps = {
        {{}, direct},
        {{"-a", "-d", "example.com", "-h", "smtp:[relay.example.net]"},
         "$# smtp $@ [ relay . example . net ] $: user < @ example . com . >"},
        {{"-e", "-D", "example.com", "-d", "example.com", "-h", "relay:[other.example.net]"},
         "$# relay $@ [ other . example . net ] $: user < @ example . com . >"},
        {{"-r", "3"}, direct},
    };
    for (const auto &[args, route] : steps) {
        if (!args.empty())
            run_ok("routeset", args);
        box->take("mailertable");
        EXPECT_EQ(box->route("user@example.com"), route) << zt::shown(args);
    }
    // The kit's own entries still route their domain.
    EXPECT_EQ(box->route("user@corp.example"),
              "$# smtp $@ [ mail . corp . example ] $: user < @ corp . example . >");
}

// Root's hand edits, a milter host that does not resolve and a port that is
// taken: start says what failed and runs the configuration it ran before.
TEST_F(SendmailDaemon, FailedStartRunsThePreviousConfiguration)
{
    int listening = -1;
    const int taken = free_port(&listening);
    const std::string mc = box->mail("sendmail.mc"), good_mc = zt::read_file(mc);
    const std::string refused = "the sendmail.cf built from " + mc + " does not load: line ";
    // Appended to sendmail.mc, port (taken: the last), message.
    const std::vector<std::vector<std::string>> cases = {
        {"INPUT_MAIL_FILTER(`scanner', `S=unix:/run/a.sock')dnl\n"
         "INPUT_MAIL_FILTER(`scanner', `S=unix:/run/b.sock')dnl\n",
         "", refused + "#: Xscanner: duplicate filter definition: No such file or directory"},
        {"INPUT_MAIL_FILTER(`scanner', `S=unix:/run/a.sock)dnl\n", "",
         "cannot build sendmail.cf from " + mc + ": m4:" + mc + ":" +
             std::to_string(zt::lines(good_mc).size() + 1) + ": ERROR: end of file in string"},
        {"INPUT_MAIL_FILTER(`scan', `S=inet:2525@nosuchhost.invalid, F=R')dnl\n", "",
         refused + "#: Xscan: Unknown host name nosuchhost.invalid"},
        {"", std::to_string(taken),
         "the new configuration did not start (sendmail cannot listen: opendaemonsocket: "
         "daemon MTA: cannot bind: Address already in use)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c[2]);
        zt::write_file(mc, good_mc);
        ASSERT_EQ(box->init("restart").status, 0);
        ASSERT_EQ(box->init("stop").status, 0);
        const std::string cf = zt::read_file(box->mail("sendmail.cf"));
        const Args files = zt::list_dir(box->mail(""));
        zt::write_file(mc, good_mc + c[0]);
        if (!c[1].empty())
            zt::write_file(box->mail("port"), c[1] + "\n");
        // sendmail.cf's line numbers follow the version of sendmail's macros.
        const auto message = [&](const std::string &word) {
            std::string err = box->init(word).err;
            const size_t at = err.find(" line ");
            return at == std::string::npos ? err : err.replace(at + 6, err.find(':', at) - at - 6, "#");
        };
        EXPECT_EQ(message("check"), c[1].empty() ? "sendmail: " + c[2] + "\n" : "");
        const std::string started = message("start");
        EXPECT_EQ(started, "sendmail: " + c[2] + "; the server runs the previous configuration " +
                               "(pid " + std::to_string(box->recorded_pid()) + ")\n");
        EXPECT_EQ(zt::read_file(box->mail("sendmail.cf")), cf);
        EXPECT_EQ(zt::list_dir(box->mail("")), files);
        EXPECT_EQ(box->mail_from("root@sandbox.example")[0], GREETING);
    }
    close(listening);
}

// Every run ends cleanly, and one daemon works in the queue directory.
TEST_F(SendmailDaemon, ConcurrentStartsAndStopsTakeTurns)
{
    const zt::Result r = zt::run(
        "/bin/bash", {"-c",
                      "for w in start stop start start stop start start start; do\n"
                      "  \"$0\" $w >/dev/null & runs+=($!); done\n"
                      "for p in ${runs[@]}; do wait $p || echo \"status $?\"; done\n"
                      "\"$0\" start >/dev/null; for p in /proc/[0-9]*; do\n"
                      "  [ $p/cwd -ef \"$1\" ] && echo daemon; done; true",
                      box->script(), box->sendmail_dir() + "/var/spool/mqueue"});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "daemon\n");
}

// A piece that start needs, hidden in a mount namespace of its own, is
// named; only a sandbox laid for one has a stand-in.
TEST_F(SendmailDaemon, StandInOnlyWhereTheSandboxWasLaidForOne)
{
    for (const auto &[mount, why] : std::vector<std::pair<std::string, std::string>>{
             {"-t tmpfs none /usr/share/sendmail",
              "the sendmail configuration macros are not installed"},
             {"--bind /dev/null /usr/bin/m4", "m4 is not installed"},
             {"--bind /dev/null /usr/sbin/sendmail", "/usr/sbin/sendmail is not installed"}}) {
        const zt::Result r = zt::run(
            UNSHARE, {"-m", "sh", "-c", "mount " + mount + " && exec \"$0\" start", box->script()});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "sendmail: cannot start: " + why + "\n");
        EXPECT_EQ(box->recorded_pid(), 0);
    }
    const std::string root = box->sendmail_dir().substr(0, box->sendmail_dir().rfind('/'));
    ASSERT_EQ(zt::run("/bin/bash", {LAY, "--stand-in", root}).status, 0);
    box->start();
    const std::string pid = std::to_string(box->recorded_pid());
    EXPECT_EQ(zt::read_file("/proc/" + pid + "/comm"), "sleep\n");
}

// Requests generated over what the programs accept. After every accepted
// one the configuration and the maps load in sendmail as the init script
// checks them; a refused one changes no byte; every 25th, the last among
// them, mtactl stops and starts the server, which then answers SMTP.
TEST_F(SendmailDaemon, AcceptedRequestsLeaveAServerThatStarts)
{
    // The tree's init script hands the edited files to the sandbox's.
    const char *const edited[] = {"sendmail.mc", "access", "mailertable"};
    std::string script = "#!/bin/sh\nset -e\n";
    for (const char *name : edited)
        script += "cp " + zt::InstallTree::mail(name) + " " + box->mail(name) + "\n";
    zt::write_file(zt::InstallTree::path("sendmail/etc/init.d/sendmail"),
                   script + "exec " + box->script() + " \"$1\"\n", 0755);
    const auto files = [&edited] {
        std::string all;
        for (const char *name : edited)
            all += zt::read_file(zt::InstallTree::mail(name)) + '\0';
        return all;
    };
    std::mt19937 rng(20261209);
    const auto n = [&rng](unsigned below) { return std::to_string(rng() % below); };
    const auto pick = [&rng](const Args &from) { return from[rng() % from.size()]; };

    // More names than sendmail takes filters, in any case; every socket
    // shape, on ports nothing listens on, and some sendmail refuses.
    const auto milter = [&] {
        std::string name = pick({"alpha", "bravo", "charlie", "delta", "echo", "foxtrot", "golf",
                                 "hotel", "india", "juliet", "kilo", "lima", "mike", "oscar",
                                 "papa", "quebec", "romeo", "sierra", "tango", "zulu"}) +
                           pick({"", "", "2"});
        for (char &c : name)
            if (c >= 'a' && c <= 'z' && rng() % 4 == 0)
                c = static_cast<char>(c - 'a' + 'A');
        const std::string p = rng() % 8 == 0 ? "1" : std::to_string(61000 + rng() % 4536);
        Args a = {"-m", name, "-s",
                  pick({"unix:/run/zt-none/" + name, "local:/var/run/zt." + name,
                        "inet:" + p + "@127.0.0.1", "inet:" + p + "@[127.0.0.1]",
                        "inet:" + p + "@localhost", "inet:" + p + "@sandbox.example",
                        "inet6:" + p + "@::1", "inet6:" + p + "@[::1]", "inet6:" + p + "@localhost",
                        "inet:0@localhost", "unix:zt.sock", "inet:" + p + "@[::1]"}),
                  "-t", pick({"enabled", "enabled", "disabled"}), "-f", n(3)};
        for (const char *t : {"-C", "-R", "-E", "-S"})
            a.insert(a.end(), {t, n(20)});
        if (rng() % 3 == 0)
            a.push_back("-a");
        return a;
    };
    // Entries with every blank makemap splits on, values of any length,
    // comments and empty lines, texts of several lines and without a
    // newline, and lines makemap would refuse.
    const auto key = [&] {
        return pick({"Connect:10.9.9.", "From:user@example", "To:rcpt", "from:USER@example"}) + n(12);
    };
    const auto entry = [&] {
        const std::string e = key() + pick({"\t", " ", "\t\t", "\r", "\v", "\f"}) +
                              pick({"RELAY", "REJECT", "OK", "ERROR:5.7.1 no"}) +
                              (rng() % 8 == 0 ? " " + zt::repeat('x', 900) : "");
        return pick({e + "\n", e + "\n", e, e + "\t\n", "# note " + n(99) + "\n",
                     e + "\n# and a comment\n\n" + key() + "\tOK\n", key() + "\n"});
    };
    const auto access = [&]() -> Args {
        return pick({"a", "a", "e", "r", "n"}) == "a"   ? Args{"-a", "-h", entry()}
               : rng() % 3 == 0                       ? Args{"-e", "-H", key(), "-h", entry()}
               : rng() % 2 == 0 ? Args{"-r", "-H", pick({key(), key() + "\tOK\n"})}
                                : Args{"-r", std::to_string(1 + rng() % 12), n(12)};
    };
    const auto domain = [&] {
        const std::string d = n(12);
        return pick({"d" + d + ".example", ".d" + d + ".example", "D" + d + ".Example",
                     zt::repeat('l', 980) + d, "sp " + d + ".example", "#d" + d});
    };
    const auto route = [&]() -> Args {
        const std::string host = pick({"smtp:[relay" + n(9) + ".example]", "relay:mx.example",
                                       "esmtp:[10.0.0." + n(9) + "]", zt::repeat('h', 40)});
        return rng() % 2 == 0   ? Args{"-a", "-d", domain(), "-h", host}
               : rng() % 3 == 0 ? Args{"-e", "-D", domain(), "-d", domain(), "-h", host}
               : rng() % 2 == 0 ? Args{"-r", "-D", domain()}
                                : Args{"-r", std::to_string(1 + rng() % 10)};
    };

    int accepted = 0;
    for (int i = 1; i <= 250; i++) {
        const unsigned which = rng() % 3;
        const std::string prog = which == 0 ? "hookset" : which == 1 ? "permitset" : "routeset";
        const Args args = which == 0 ? milter() : which == 1 ? access() : route();
        SCOPED_TRACE(std::to_string(i) + " " + prog + zt::shown(args));
        const std::string before = files();
        const zt::Result r = zt::run_prog(prog, args);
        if (r.status != 0) {
            EXPECT_TRUE(files() == before) << r.err;
        } else {
            accepted++;
            for (const char *name : edited)
                zt::write_file(box->mail(name), zt::read_file(zt::InstallTree::mail(name)));
            const zt::Result check = box->init("check");
            ASSERT_EQ(check.status, 0) << check.err;
        }
        if (i % 25 != 0)
            continue;
        EXPECT_EQ(zt::run_prog("mtactl", {"-s", "stop"}).status, 0);
        const zt::Result start = zt::run_prog("mtactl", {"-s", "start"});
        ASSERT_EQ(start.status, 0) << start.out << start.err;
        const Args replies = box->mail_from("root@sandbox.example");
        EXPECT_TRUE(std::regex_match(replies.at(0), std::regex("[245][0-9][0-9] sandbox\\.example .*")))
            << replies[0];
    }
    EXPECT_GT(accepted, 100);
}

}  // namespace
