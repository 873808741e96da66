// What the programs write, read by a real sendmail: a daemon started by the
// sandbox kit's init script and sendmail's address test mode.
//
// sendmail refuses files under a directory that others may write to, and
// the compiled-in install tree lies under /tmp, so each test lays the kit in
// a private directory under /run (or /root) and copies in the files the
// programs edited in the tree.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
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

const char SENDER[] = "MAIL FROM:<root@sandbox.example>";

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
    return "";
}

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

// A process that has ended but was not yet waited for does not count.
bool running(pid_t pid)
{
    if (kill(pid, 0) != 0)
        return false;
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    if (!std::getline(in, stat))
        return true;
    const size_t end = stat.rfind(") ");
    return end == std::string::npos || stat.compare(end + 2, 1, "Z") != 0;
}

int free_port()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    const bool ok = bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
                    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0;
    close(fd);
    if (!ok)
        throw std::runtime_error("cannot find a free port");
    return ntohs(a.sin_port);
}

// One SMTP session: the greeting, then the last reply line to each command,
// all without their CRLF.
std::vector<std::string> smtp_session(int port, const Args &commands)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        const std::string why = std::strerror(errno);
        if (fd >= 0)
            close(fd);
        throw std::runtime_error("connect to port " + std::to_string(port) + ": " + why);
    }
    std::string pending;
    const auto reply = [&]() {
        for (;;) {
            const size_t eol = pending.find("\r\n");
            if (eol != std::string::npos) {
                std::string line = pending.substr(0, eol);
                pending.erase(0, eol + 2);
                if (line.size() < 4 || line[3] != '-')
                    return line;
                continue;
            }
            pollfd p{fd, POLLIN, 0};
            char buf[4096];
            const ssize_t n = poll(&p, 1, 10000) == 1 ? read(fd, buf, sizeof buf) : -1;
            if (n <= 0)
                return std::string("<no reply>");
            pending.append(buf, static_cast<size_t>(n));
        }
    };
    std::vector<std::string> replies{reply()};
    for (const std::string &cmd : commands) {
        const std::string line = cmd + "\r\n";
        const bool sent = write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
        replies.push_back(sent ? reply() : "<not sent>");
    }
    close(fd);
    return replies;
}

// The kit laid in a safe directory, as scripts/lay-sandbox.sh lays it, with
// its mail server stopped again whatever happens.
class Sandbox {
public:
    Sandbox() : port_(free_port())
    {
        std::string tmpl = safe_base() + "/zt-sendmail.XXXXXX";
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
        if (const pid_t pid = recorded_pid(); pid > 0 && running(pid))
            kill(pid, SIGKILL);
        zt::remove_tree(root_);
    }
    Sandbox(const Sandbox &) = delete;
    Sandbox &operator=(const Sandbox &) = delete;

    int port() const { return port_; }
    std::string mail(const std::string &name) const
    {
        return root_ + "/sendmail/etc/mail/" + name;
    }
    std::string sendmail_dir() const { return root_ + "/sendmail"; }

    zt::Result init(const std::string &word) const
    {
        return zt::run(root_ + "/sendmail/etc/init.d/sendmail", {word});
    }

    pid_t recorded_pid() const
    {
        std::ifstream in(root_ + "/sendmail/var/run/sendmail.pid");
        long pid = 0;
        return in >> pid ? static_cast<pid_t>(pid) : 0;
    }

    // The configuration the init script builds at start.
    void build_cf() const
    {
        const zt::Result r = zt::run(M4, {"-DSANDBOX_DIR=" + sendmail_dir(),
                                          "-DSANDBOX_PORT=" + std::to_string(port_), CF_M4,
                                          mail("sendmail.mc")});
        EXPECT_EQ(r.status, 0) << r.err;
        zt::write_file(mail("sendmail.cf"), r.out);
    }

    void makemap(const std::string &name) const
    {
        zt::RunOptions opt;
        opt.input = zt::read_file(mail(name));
        const zt::Result r = zt::run(MAKEMAP, {"hash", mail(name)}, opt);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
    }

    // sendmail -bt with the host name and name service that the init
    // script gives the daemon.
    std::string address_test(const std::string &input) const
    {
        zt::RunOptions opt;
        opt.input = input;
        const zt::Result r = zt::run(
            UNSHARE,
            {"-u", "-m", "sh", "-c",
             "set -e; mount --bind \"$1/hosts\" /etc/hosts; "
             "mount --bind \"$1/nsswitch.conf\" /etc/nsswitch.conf; "
             "hostname sandbox.example; exec /usr/sbin/sendmail -bt -C \"$1/sendmail.cf\"",
             "sh", mail("")},
            opt);
        EXPECT_EQ(r.status, 0) << r.err;
        return r.out;
    }

private:
    int port_;
    std::string root_;
};

class SendmailDaemon : public zt::TreeTest {
protected:
    std::unique_ptr<Sandbox> box;

    void SetUp() override
    {
        const std::string why = missing_piece();
        if (!why.empty())
            GTEST_SKIP() << why;
        if (safe_base().empty())
            GTEST_SKIP() << "neither /run nor /root is a directory that sendmail trusts";
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

    // Hands a file that a program edited in the tree to the mail server.
    void take(const std::string &name) const
    {
        zt::write_file(box->mail(name), zt::read_file(zt::InstallTree::mail(name)));
    }

    // Declares the milter "scan", whose socket does not exist, with the
    // given fail type, and starts the mail server on the result.
    void start_with_milter(const std::string &fail_type, const std::string &status = "enabled")
    {
        run_ok("hookset", {"-m", "scan", "-s", "unix:" + box->sendmail_dir() + "/var/run/none.sock",
                           "-t", status, "-f", fail_type, "-C", "1", "-R", "1", "-E", "1", "-S",
                           "1"});
        take("sendmail.mc");
        start();
    }

    void start() const
    {
        const zt::Result r = box->init("start");
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        ASSERT_GT(box->recorded_pid(), 0);
    }

    std::vector<std::string> send_mail_from(const std::string &sender = SENDER) const
    {
        return smtp_session(box->port(), {"HELO client.example", sender, "QUIT"});
    }
};

const std::string GREETING = "220 sandbox.example ESMTP gateway ready";
const std::string HELLO = "250 sandbox.example Hello localhost [127.0.0.1], pleased to meet you";
const std::string BYE = "221 2.0.0 sandbox.example closing connection";
const std::string SENDER_OK = "250 2.1.0 <root@sandbox.example>... Sender ok";

TEST_F(SendmailDaemon, RejectingMilterThatIsDownRefusesTheSession)
{
    start_with_milter("1");
    EXPECT_NE(zt::read_file(box->mail("sendmail.cf")).find("\nXscan, S=unix:"), std::string::npos);
    EXPECT_EQ(send_mail_from(), (Args{"554 sandbox.example ESMTP not accepting messages", HELLO,
                                      "550 5.0.0 Command rejected", BYE}));
}

TEST_F(SendmailDaemon, TempfailMilterThatIsDownDefersTheMail)
{
    start_with_milter("0");
    EXPECT_EQ(send_mail_from(), (Args{GREETING, HELLO, "451 4.3.2 Please try again later", BYE}));
}

TEST_F(SendmailDaemon, AcceptingMilterThatIsDownLeavesServiceAlone)
{
    start_with_milter("2");
    EXPECT_EQ(send_mail_from(), (Args{GREETING, HELLO, SENDER_OK, BYE}));
}

TEST_F(SendmailDaemon, DisabledMilterIsNotDeclaredToTheDaemon)
{
    start_with_milter("1", "disabled");
    EXPECT_EQ(zt::read_file(box->mail("sendmail.cf")).find("\nXscan"), std::string::npos);
    EXPECT_EQ(send_mail_from(), (Args{GREETING, HELLO, SENDER_OK, BYE}));
}

TEST_F(SendmailDaemon, StopEndsTheRecordedProcess)
{
    start();
    const pid_t pid = box->recorded_pid();
    EXPECT_TRUE(running(pid));
    const zt::Result r = box->init("stop");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "sendmail: stopped (pid " + std::to_string(pid) + ")\n");
    // A killed process may take a moment to be seen as gone on a loaded machine.
    for (int i = 0; i < 50 && running(pid); i++)
        usleep(100000);
    EXPECT_FALSE(running(pid));
}

TEST_F(SendmailDaemon, AccessEntriesApplyOnceTheMapIsRebuilt)
{
    start();
    const std::string sender = "MAIL FROM:<news@example.org>";
    const std::string unresolvable =
        "553 5.1.8 <news@example.org>... Domain of sender address news@example.org does not exist";
    EXPECT_EQ(send_mail_from(sender)[2], unresolvable);

    run_ok("permitset", {"-a", "-h", "From:example.org\tOK\n"});
    take("access");
    box->makemap("access");
    EXPECT_EQ(send_mail_from(sender)[2], "250 2.1.0 <news@example.org>... Sender ok");

    run_ok("permitset", {"-e", "-H", "From:example.org", "-h", "From:example.org\tREJECT\n"});
    take("access");
    box->makemap("access");
    EXPECT_EQ(send_mail_from(sender)[2], "550 5.7.1 <news@example.org>... Access denied");

    run_ok("permitset", {"-r", "5"});
    take("access");
    box->makemap("access");
    EXPECT_EQ(send_mail_from(sender)[2], unresolvable);
}

// The line of sendmail -bt's output that gives the final parse result.
std::string parse_result(const std::string &out)
{
    const std::string key = "\nparse            returns: ";
    const size_t at = out.rfind(key);
    if (at == std::string::npos)
        return "<no parse result>";
    const size_t from = at + key.size();
    return out.substr(from, out.find('\n', from) - from);
}

class AddressTest : public SendmailDaemon {
protected:
    std::string route(const std::string &address)
    {
        take("mailertable");
        box->makemap("mailertable");
        box->build_cf();
        return parse_result(box->address_test("3,0 " + address + "\n"));
    }
};

TEST_F(AddressTest, AddedRelayHostRoutesTheDomain)
{
    run_ok("routeset", {"-a", "-d", "example.com", "-h", "smtp:[relay.example.net]"});
    EXPECT_EQ(route("user@example.com"),
              "$# smtp $@ [ relay . example . net ] $: user < @ example . com . >");
}

TEST_F(AddressTest, EditedAndRemovedRelayHostsChangeTheRoute)
{
    const std::string direct = "$# esmtp $@ example . com . $: user < @ example . com . >";
    EXPECT_EQ(route("user@example.com"), direct);

    run_ok("routeset", {"-a", "-d", "example.com", "-h", "smtp:[relay.example.net]"});
    run_ok("routeset", {"-e", "-D", "example.com", "-d", "example.com", "-h",
                        "relay:[other.example.net]"});
    EXPECT_EQ(route("user@example.com"),
              "$# relay $@ [ other . example . net ] $: user < @ example . com . >");
    // The kit's own entries still route their domain.
    EXPECT_EQ(route("user@corp.example"),
              "$# smtp $@ [ mail . corp . example ] $: user < @ corp . example . >");

    run_ok("routeset", {"-r", "3"});
    EXPECT_EQ(route("user@example.com"), direct);
}

}  // namespace
