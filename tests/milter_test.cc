// The milter declaration writer: the line, its limits, its match key and the
// characters and words it refuses to hand to m4.
#include <cctype>
#include <cerrno>
#include <climits>
#include <string>
#include <vector>

#include "smlib.h"
#include "support.h"

namespace {

// The arguments of one call; each setter changes one of them.
struct Decl {
    std::string name = "f1", socket = "unix:/tmp/f1";
    unsigned char enabled = MILTER_STATUS_ENABLED, fail_type = FT_REJECT;
    unsigned int C = 1, R = 2, E = 3, S = 4;
    char mode = EM_ADDLINE;

    Decl &named(const std::string &n) { name = n; return *this; }
    Decl &at(const std::string &s) { socket = s; return *this; }
    Decl &state(unsigned char e) { enabled = e; return *this; }
    Decl &fail(unsigned char f) { fail_type = f; return *this; }
    Decl &edit() { mode = EM_EDITLINE; return *this; }
    // No fail flag, and the given timeouts: the line of plain_line().
    Decl &plain(unsigned c = 0, unsigned r = 0, unsigned e = 0, unsigned s = 0)
    {
        fail_type = FT_ACCEPT;
        C = c, R = r, E = e, S = s;
        return *this;
    }
};

// The line of Decl() with its own socket.
std::string f1_at(const std::string &socket)
{
    return "INPUT_MAIL_FILTER(`f1',`S=" + socket + ",F=R,T=C:1m;E:3m;R:2m;S:4m')\n";
}
const std::string F1 = f1_at("unix:/tmp/f1");

// A declaration of zeta, the case of its name's letters as given.
std::string zeta_at(const std::string &name)
{
    return "INPUT_MAIL_FILTER(`" + name + "',`S=unix:/z,F=R,T=C:1m;E:3m;R:2m;S:4m')\n";
}
const std::string zeta = zeta_at("Zeta");

// The enabled line of Decl().plain() for socket.
std::string plain_line(const std::string &socket)
{
    return "INPUT_MAIL_FILTER(`f1',`S=" + socket + ",T=C:0m;E:0m;R:0m;S:0m')\n";
}

std::pair<int, std::string> write_decl(const Decl &d)
{
    return zt::with_stderr([&d] {
        errno = EINVAL;
        return replace_milter(d.name.c_str(), d.socket.c_str(), d.enabled, d.fail_type, d.C, d.R,
                              d.E, d.S, d.mode);
    });
}

class MilterWriter : public zt::TreeTest {
protected:
    const std::string conf = SENDMAIL_CONF;
    const std::string mc = zt::TREE_SENDMAIL_MC;

    // Asserts that d is refused with err and that no file was touched.
    void expect_refused(const Decl &d, const std::string &err)
    {
        const std::string before = zt::read_file(conf);
        const auto names = zt::list_dir(zt::InstallTree::mail(""));
        EXPECT_EQ(write_decl(d), std::make_pair(0, err));
        EXPECT_EQ(zt::read_file(conf), before);
        EXPECT_EQ(zt::list_dir(zt::InstallTree::mail("")), names);
    }
};

// The socket that makes the line of Decl().plain() exactly n characters
// long: a port and a host name of one long label.
std::string socket_for(size_t n)
{
    return "inet:1@" + zt::repeat('h', n - plain_line("").size() - 7);
}

TEST_F(MilterWriter, WritesTheLineItsArgumentsDescribe)
{
    const std::string head = "divert(0)dnl\n", tail = "MAILER(`smtp')dnl\n";
    const std::string f10 = "INPUT_MAIL_FILTER(`f10',`S=unix:/tmp/f10,T=C:1m;E:1m;R:1m;S:1m')\n";
    const std::string f1x = "dnl INPUT_MAIL_FILTER(`f1x',`S=unix:/tmp/f1x,T=C:1m;E:1m;R:1m;S:1m')\n";
    const std::string old = "INPUT_MAIL_FILTER(`f1',`S=unix:/tmp/old,T=C:9m;E:9m;R:9m;S:9m')\n";
    const std::string long_decl =
        "INPUT_MAIL_FILTER(`f1',`S=unix:/" + zt::repeat('p', 950) + ",T=C:1m;E:1m;R:1m;S:1m')\n";
    // Every byte a name or a socket may hold.
    const std::string odd_name = "Az09_-.";
    const std::string odd_socket = "unix:/Az09_-.:@[]";
    // Words m4 leaves alone: a defined name is only a whole word.
    const std::string near_name = "x9dnl-Dnl.mconf";
    const std::string near_socket = "unix:/run/9milter_conf/dnlx.sock";
    const std::string split = "INPUT_MAIL_FILTER(`f1',`S=unix:/x)',\n\tT=C:1m')\n";
    struct Case {
        Decl d;
        std::string before, after;
        std::string err = "";  // a refusal: the file stays as it was
    };
    const std::vector<Case> cases = {
        {Decl(), mc, mc + F1},
        {Decl().state(MILTER_STATUS_DISABLED).fail(FT_ACCEPT), mc,
         mc + "dnl INPUT_MAIL_FILTER(`f1',`S=unix:/tmp/f1,T=C:1m;E:3m;R:2m;S:4m')\n"},
        {Decl().fail(FT_FAIL), mc,
         mc + "INPUT_MAIL_FILTER(`f1',`S=unix:/tmp/f1,F=T,T=C:1m;E:3m;R:2m;S:4m')\n"},
        {Decl().plain(), mc, mc + plain_line("unix:/tmp/f1")},
        {Decl().plain(static_cast<unsigned>(-5), UINT_MAX, 0x80000000u, 123456789), "",
         "INPUT_MAIL_FILTER(`f1',`S=unix:/tmp/f1,T=C:-5m;E:-2147483648m;R:-1m;S:123456789m')\n"},
        {Decl().named(odd_name).at(odd_socket), mc,
         mc + "INPUT_MAIL_FILTER(`" + odd_name + "',`S=" + odd_socket +
             ",F=R,T=C:1m;E:3m;R:2m;S:4m')\n"},
        {Decl().named(near_name).at(near_socket), mc,
         mc + "INPUT_MAIL_FILTER(`" + near_name + "',`S=" + near_socket +
             ",F=R,T=C:1m;E:3m;R:2m;S:4m')\n"},
        // 1098 characters, the disabled prefix counted.
        {Decl().plain().at(socket_for(1098)), "", plain_line(socket_for(1098))},
        {Decl().plain().state(MILTER_STATUS_DISABLED).at(socket_for(1094)), "",
         "dnl " + plain_line(socket_for(1094))},
        // An edit replaces the first line that holds the quoted name, whole,
        // or appends; an add always appends.
        {Decl().edit(), head + "dnl " + old + tail, head + F1 + tail},
        {Decl().edit().at("unix:/tmp/new"), f10 + f1x + old + f10,
         f10 + f1x + f1_at("unix:/tmp/new") + f10},
        {Decl().edit(), f10 + f1x, f10 + f1x + F1},
        {Decl().edit(), head + long_decl + tail, head + F1 + tail},
        {Decl().edit(), mc, mc + F1},
        // The name is compared without regard to case, and quoted
        // parentheses do not count.
        {Decl().edit().named("zETA").at("unix:/z"), "dnl " + zeta, zeta_at("zETA")},
        {Decl().edit().named("zeta").at("unix:/z"), "a" + zeta + zeta_at("ZETA"),
         "a" + zeta + zeta_at("zeta")},
        {Decl().edit(), "INPUT_MAIL_FILTER(`f1',`S=unix:/(x,T=C:1m')\n", F1},
        {Decl().edit(), split, split, "The declaration of f1 does not end on its line.\n"},
        {Decl(), f1x + "dnl " + old, f1x + "dnl " + old, "The milter f1 is already declared.\n"},
        {Decl().named("F1x"), f1x, f1x, "The milter F1x is already declared.\n"},
        {Decl().named("ZETa"), zeta, zeta, "The milter ZETa is already declared.\n"},
        // Socket shapes sendmail takes, at their bounds.
        {Decl().at("unix:/" + zt::repeat('p', 106)), "", f1_at("unix:/" + zt::repeat('p', 106))},
        {Decl().at("inet:65535@[127.0.0.1]"), "", f1_at("inet:65535@[127.0.0.1]")},
        {Decl().at("inet6:01@[::ffff:127.0.0.1]"), "", f1_at("inet6:01@[::ffff:127.0.0.1]")},
        {Decl().at("inet6:1@fe80::1"), "", f1_at("inet6:1@fe80::1")},
        {Decl().at("inet:1@mail-1.example."), "", f1_at("inet:1@mail-1.example.")},
    };
    ASSERT_EQ(plain_line(socket_for(1098)).size(), 1098u);
    for (size_t i = 0; i < cases.size(); i++) {
        SCOPED_TRACE("case " + std::to_string(i));
        zt::write_file(conf, cases[i].before);
        const int rc = cases[i].err.empty() ? 1 : 0;
        EXPECT_EQ(write_decl(cases[i].d), std::make_pair(rc, cases[i].err));
        EXPECT_EQ(zt::read_file(conf), cases[i].after);
    }
}

// sendmail.mc becomes sendmail.cf through m4: any byte but letters, digits
// and these marks could leave the quoted argument, expand, or end the line.
std::string refused_bytes(const std::string &marks)
{
    std::string bytes;
    for (int c = 0x01; c <= 0xff; c++) {
        if (!std::isalnum(c) && marks.find(static_cast<char>(c)) == std::string::npos)
            bytes += static_cast<char>(c);
    }
    return bytes;
}

TEST_F(MilterWriter, RefusalsTouchNoFile)
{
    const std::string bad_name = "Milter name contains a character that is not allowed.\n";
    const std::string bad_socket = "Socket name contains a character that is not allowed.\n";
    const std::string name_word = "Milter name contains a word that is not allowed.\n";
    const std::string socket_word = "Socket name contains a word that is not allowed.\n";
    const std::string port = "Socket port must be a number from 1 to 65535.\n";
    const std::string host4 = "An inet socket's host must be an IPv4 address or a host name.\n";
    const std::string host6 = "An inet6 socket's host must be an IPv6 address or a host name.\n";
    const std::vector<std::pair<Decl, std::string>> cases = {
        {Decl().plain().at(socket_for(1099)), "Milter line too long.\n"},
        {Decl().plain().state(MILTER_STATUS_DISABLED).at(socket_for(1095)),
         "Milter line too long.\n"},
        // The match key is MILTER_LINE_START, the name and the closing
        // quote: 19 + 1079 + 1 is too long; with a key of 1098 the line
        // cannot fit.
        {Decl().named(zt::repeat('n', 1079)), "Milter name is too long.\n"},
        {Decl().named(zt::repeat('n', 1078)), "Milter line too long.\n"},
        {Decl().fail(3), "Fail type was an unexpected value!\n: Invalid argument\n"},
        {Decl().state(2), ""},
        {Decl().at("unix:/tmp/x,esyscmd(touch /tmp/x)"), bad_socket},
        // Refused characters are looked for first, in the name before the socket.
        {Decl().named(zt::repeat('n', 1100) + "'").at("unix:/tmp/'").fail(3).state(2), bad_name},
        {Decl().at("unix:/tmp/'").fail(3).state(2), bad_socket},
        // Then refused words, in the same order, before anything else.
        {Decl().named("dnl").at("unix:/tmp/'"), bad_socket},
        {Decl().named(zt::repeat('n', 1100) + "-dnl").at("unix:/m4exit").fail(3), name_word},
        {Decl().at("unix:/m4exit").fail(3).state(2), socket_word},
        // Then the socket's shape: what sendmail refuses or can never use.
        {Decl().at("tcp:25@localhost").fail(3),
         "Socket must begin with unix:, local:, inet: or inet6:.\n"},
        {Decl().at("unix:relative/path"), "A unix or local socket must be an absolute path.\n"},
        {Decl().at("local:"), "A unix or local socket must be an absolute path.\n"},
        {Decl().at("unix:/" + zt::repeat('p', 107)),
         "A unix or local socket path must be at most 107 bytes.\n"},
        {Decl().at("inet:25"), "An inet or inet6 socket must be port@host.\n"},
        {Decl().at("inet:1@"), "An inet or inet6 socket must be port@host.\n"},
        {Decl().at("inet6:@::1"), "An inet or inet6 socket must be port@host.\n"},
        {Decl().at("inet:x@127.0.0.1"), port},
        {Decl().at("inet:0@127.0.0.1"), port},
        {Decl().at("inet:65536@127.0.0.1"), port},
        {Decl().at("inet:1@["), host4},
        {Decl().at("inet:1@[::1]"), host4},
        {Decl().at("inet:1@256.1.1.1"), host4},
        {Decl().at("inet:1@a..b"), host4},
        {Decl().at("inet:1@-x.example"), host4},
        {Decl().at("inet6:1@[zz]"), host6},
        {Decl().at("inet6:1@127.0.0.1"), host6},
    };
    for (const auto &[d, err] : cases) {
        SCOPED_TRACE(d.name.substr(0, 30) + " " + d.socket.substr(0, 30));
        expect_refused(d, err);
    }
    for (const char c : refused_bytes("_-.")) {
        SCOPED_TRACE(static_cast<int>(static_cast<unsigned char>(c)));
        expect_refused(Decl().named(std::string("f") + c + "1"), bad_name);
    }
    for (const char c : refused_bytes("_-./:@[]")) {
        SCOPED_TRACE(static_cast<int>(static_cast<unsigned char>(c)));
        expect_refused(Decl().at(std::string("unix:/tmp/") + c), bad_socket);
    }
    // As m4 reads them: a digit outside a word and a mark part words.
    for (const std::string word : {"dnl", "9dnl", "f-m4exit", "9.dnl-", "lower",
                                   "sm_enable_tls", "FEATURE", "F1", "_x", "confX", "config"}) {
        SCOPED_TRACE(word);
        expect_refused(Decl().named(word), name_word);
        expect_refused(Decl().at("unix:/run/" + word), socket_word);
    }
}

TEST_F(MilterWriter, NullNameOrSocketIsRefusedSilently)
{
    EXPECT_EQ(zt::with_stderr([] {
                  return replace_milter(nullptr, "unix:/tmp/f1", 1, 1, 1, 2, 3, 4, EM_ADDLINE) +
                         replace_milter("f1", nullptr, 1, 1, 1, 2, 3, 4, EM_ADDLINE);
              }),
              std::make_pair(0, std::string()));
    EXPECT_EQ(zt::read_file(conf), mc);
}

TEST_F(MilterWriter, EditorFailureIsPassedBack)
{
    zt::write_file(conf + ".tmp", "");
    expect_refused(Decl(), conf + ".tmp was left by an edit that did not finish; it is to be "
                                  "removed once no edit runs.\n"
                                  "Failed to open the file.: File exists\n");
}

}  // namespace
