// hookset: options, their limits and order, and what reaches sendmail.mc.
#include <string>
#include <vector>

#include "support.h"

namespace {

using Args = std::vector<std::string>;

const std::string USAGE =
    "Missing a required parameter. All parameters are required.\n"
    "Parameters: [-a] -m -s -t -f -C -R -E -S\n";
const std::string ADD_FAILED = "Failed to add the new milter.\n";
const std::string F1 = "INPUT_MAIL_FILTER(`f1',`S=unix:/tmp/f1,F=R,T=C:1m;E:3m;R:2m;S:4m')\n";

// A complete command line for f1; later words override earlier ones.
Args full(const Args &extra = {})
{
    Args a{"-m", "f1", "-s", "unix:/tmp/f1", "-t", "enabled", "-f", "1",
           "-C", "1",  "-R", "2",            "-E", "3",       "-S", "4"};
    a.insert(a.end(), extra.begin(), extra.end());
    return a;
}

std::string decl_line(const std::string &name, const std::string &socket)
{
    return "INPUT_MAIL_FILTER(`" + name + "',`S=" + socket + ",F=R,T=C:1m;E:3m;R:2m;S:4m')\n";
}

std::string f1_with_socket(const std::string &socket) { return decl_line("f1", socket); }

// A socket of n characters: a port and a host name of one long label.
std::string long_socket(size_t n) { return "inet:1@" + zt::repeat('h', n - 7); }

class Hookset : public zt::TreeTest {
protected:
    const std::string conf = zt::InstallTree::mail("sendmail.mc");
    const std::string mc = zt::TREE_SENDMAIL_MC;

    // Asserts the outcome and, for a refusal, an untouched sendmail.mc.
    void expect(const Args &args, int status, const std::string &err,
                const zt::RunOptions &opt = zt::RunOptions())
    {
        SCOPED_TRACE(zt::shown(args));
        const std::string before = zt::read_file(conf);
        zt::RunOptions named = opt;
        named.argv0 = "hookset";
        const zt::Result r = zt::run_prog("hookset", args, named);
        EXPECT_EQ(r.status, status);
        EXPECT_EQ(r.err, err);
        EXPECT_EQ(r.out, "");
        if (status != 0) {
            EXPECT_EQ(zt::read_file(conf), before);
        }
    }
};

TEST_F(Hookset, WithoutSendmailAnyCommandLineEndsWith1)
{
    zt::remove_tree(conf);
    const zt::Result r = zt::run_prog("hookset", {"-x", "-m", zt::repeat('n', 30)});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "failed to find sendmail installed.\n");
    EXPECT_FALSE(zt::exists(conf));
}

TEST_F(Hookset, CallerWhoDoesNotOwnTheProductIsRefused)
{
    ZT_REQUIRE_ROOT("runs hookset as another user");
    expect(full(), 2, "Can't go suid.\n", zt::as_nobody());
}

// Options are judged one by one in command-line order; the first refusal ends
// the run.
TEST_F(Hookset, RefusedCommandLines)
{
    const std::string n25 = zt::repeat('n', 25), s1034 = long_socket(1034);
    const std::string range = "Fail type must be either 0 (fail) or 1 (reject) or 2 (accept).\n";
    expect(full({"-x"}), 13, "hookset: invalid option -- 'x'\n");
    expect(full({"-m"}), 13, "hookset: option requires an argument -- 'm'\n");
    expect({"-m", n25, "-x"}, 4, "Milter name is too long.\n");
    expect({"-x", "-m", n25}, 13, "hookset: invalid option -- 'x'\n");
    expect({"-f", "7", "-C", "abc"}, 8, range);
    expect({}, 13, USAGE);
    expect({"-a"}, 13, USAGE);
    // Scanning stops at the first word that is not an option.
    expect({"-m", "f1", "stray", "-s", "unix:/tmp/f1", "-t", "enabled", "-f", "1", "-C", "1", "-R",
            "2", "-E", "3", "-S", "4"},
           13, USAGE);
    expect(full({"-m", zt::repeat('n', 24) + "x"}), 4, "Milter name is too long.\n");
    expect(full({"-s", s1034}), 5, "Socket name is too long.\n");
    expect(full({"-s", long_socket(1033), "-C", "999999999", "-R", "999999999", "-E", "999999999",
                 "-S", "999999999"}),
           13, "Milter line too long.\n" + ADD_FAILED);
    expect(full({"-t", "enabledXYZ"}), 14, "Enabled value is too long.\n");
    expect(full({"-s", "unix:/tmp/x,esyscmd(touch /tmp/x)"}), 13,
           "Socket name contains a character that is not allowed.\n" + ADD_FAILED);
    expect(full({"-m", "f1')dnl"}), 13,
           "Milter name contains a character that is not allowed.\n" + ADD_FAILED);
    expect(full({"-m", "x.$0"}), 13,
           "Milter name contains a character that is not allowed.\n" + ADD_FAILED);
    expect(full({"-s", "unix:/a.sock/d$*nl"}), 13,
           "Socket name contains a character that is not allowed.\n" + ADD_FAILED);
    expect(full({"-m", "m4exit", "-s", "unix:/run/m4exit"}), 13,
           "Milter name contains a word that is not allowed.\n" + ADD_FAILED);
    expect(full({"-s", "unix:/run/m4exit"}), 13,
           "Socket name contains a word that is not allowed.\n" + ADD_FAILED);
    expect(full({"-s", "inet:25"}), 13, "An inet or inet6 socket must be port@host.\n" + ADD_FAILED);
    for (const char *f : {"3", "9"})
        expect(full({"-f", f}), 8, range);
    for (const char *f : {"x", "-"})
        expect(full({"-f", f}), 6, "Fail type must be a valid digit.\n");
    for (const char *f : {"10", "-1"})
        expect(full({"-f", f}), 9, "Fail type argument too long.\n");
    for (const std::string t : {"Enabled", "disable"})
        expect(full({"-t", t}), 15,
               "Invalid status " + t + ". Only enabled or disabled are allowed.\n");
    const std::string no_number = "Timeout is invalid.\nFailed to convert a timeout value.\n";
    for (const char *opt : {"-C", "-R", "-E", "-S"}) {
        for (const char *bad : {"abc", "-"})
            expect(full({opt, bad}), 10, no_number);
        expect(full({opt, "1234567890"}), 11, "Time out value is too long.\n");
    }
    // Each required option left out, or given only an empty argument.
    const Args all = full();
    for (size_t i = 0; i < all.size(); i += 2) {
        Args without = all, emptied = all;
        without.erase(without.begin() + static_cast<long>(i),
                      without.begin() + static_cast<long>(i) + 2);
        emptied[i + 1] = "";
        expect(without, 13, USAGE);
        expect(emptied, 13, USAGE);
    }
}

TEST_F(Hookset, AcceptedCommandLineAppendsItsDeclaration)
{
    const std::string n24 = zt::repeat('n', 24), s1033 = long_socket(1033);
    const std::vector<std::pair<Args, std::string>> cases = {
        {full(), F1},
        {full({"-m", "", "-C", ""}), F1},
        {full({"stray", "-x", "-m", zt::repeat('n', 30)}), F1},
        {full({"-m", "zz", "-s", "unix:/tmp/zz", "-t", "disabled", "-f", "0", "-C", "9", "-R",
               "8", "-E", "7", "-S", "6"}),
         "dnl INPUT_MAIL_FILTER(`zz',`S=unix:/tmp/zz,F=T,T=C:9m;E:7m;R:8m;S:6m')\n"},
        {full({"-m", n24}),
         "INPUT_MAIL_FILTER(`" + n24 + "',`S=unix:/tmp/f1,F=R,T=C:1m;E:3m;R:2m;S:4m')\n"},
        {full({"-s", s1033}), f1_with_socket(s1033)},
        {full({"-f", "2"}), "INPUT_MAIL_FILTER(`f1',`S=unix:/tmp/f1,T=C:1m;E:3m;R:2m;S:4m')\n"},
        {full({"-C", "12abc", "-R", "-5", "-E", " +7", "-S", "123456789"}),
         "INPUT_MAIL_FILTER(`f1',`S=unix:/tmp/f1,F=R,T=C:12m;E:7m;R:-5m;S:123456789m')\n"},
        {full({"-t", "enabledXY"}), F1},
        {full({"-t", "disabledX"}), "dnl " + F1},
        // Names and sockets in real use.
        {full({"-m", "clamav-milter", "-s", "unix:/var/run/spamass_milter.sock"}),
         decl_line("clamav-milter", "unix:/var/run/spamass_milter.sock")},
        {full({"-m", "spamass_milter", "-s", "inet:8891@localhost"}),
         decl_line("spamass_milter", "inet:8891@localhost")},
        {full({"-m", "MIMEDefang", "-s", "local:/run/opendkim/opendkim.sock"}),
         decl_line("MIMEDefang", "local:/run/opendkim/opendkim.sock")},
        {full({"-m", "opendkim"}), decl_line("opendkim", "unix:/tmp/f1")},
    };
    for (const auto &[args, line] : cases) {
        zt::write_file(conf, mc);
        expect(args, 0, "");
        EXPECT_EQ(zt::read_file(conf), mc + line) << zt::shown(args);
    }
}

// Without -a the declaration of the same name, whatever its case, is
// replaced in place, whole however long it was; -a refuses a name already
// declared.
TEST_F(Hookset, LaterCallReplacesTheDeclarationUnlessAdding)
{
    const std::string s1000 = long_socket(1000);
    const std::vector<std::pair<Args, std::string>> steps = {
        {full({"-s", s1000}), f1_with_socket(s1000)},
        {full(), F1},
        {full({"-t", "disabled"}), "dnl " + F1},
        {full(), F1},
        {full({"-m", "zeta"}), F1 + decl_line("zeta", "unix:/tmp/f1")},
        {full({"-m", "Zeta", "-t", "disabled"}), F1 + "dnl " + decl_line("Zeta", "unix:/tmp/f1")},
    };
    for (const auto &[args, after] : steps) {
        expect(args, 0, "");
        EXPECT_EQ(zt::read_file(conf), mc + after) << zt::shown(args);
    }
    for (const char *name : {"f1", "zeta", "ZETa"})
        expect(full({"-a", "-m", name}), 13,
               "The milter " + std::string(name) + " is already declared.\n" + ADD_FAILED);
}

// sendmail takes 24 filters at most: those m4 reads, whichever macro
// declares them, and not those behind a dnl or a #.
TEST_F(Hookset, NoChangeLeavesMoreThan24MiltersEnabled)
{
    std::string decls = "MAIL_FILTER(`mf0',`S=unix:/m0')\n";
    for (int i = 1; i < 24; i++)
        decls += decl_line("mf" + std::to_string(i), "unix:/m");
    const std::string hidden =
        "dnl " + decl_line("off", "unix:/off") + "# " + decl_line("x", "unix:/x");
    const std::string too_many = " would leave more than 24 milters enabled.\n" + ADD_FAILED;
    zt::write_file(conf, mc + decls + hidden);
    expect(full({"-a"}), 13, "Declaring f1" + too_many);
    expect(full({"-m", "off"}), 13, "Declaring off" + too_many);
    expect(full({"-a", "-t", "disabled"}), 0, "");
    expect(full({"-m", "Mf5", "-t", "enabled"}), 0, "");
    expect(full({"-m", "mf0", "-t", "disabled"}), 0, "");
    expect(full({"-m", "off"}), 0, "");
}

TEST_F(Hookset, EditorFailureFailsTheCall)
{
    // Written by hand over two lines, the declaration could be replaced only
    // in part.
    zt::write_file(conf, mc + "INPUT_MAIL_FILTER(`f1',`S=unix:/tmp/f1,\n\tF=R,T=C:1m')\n");
    expect(full(), 13, "The declaration of f1 does not end on its line.\n" + ADD_FAILED);
    expect(full({"-a"}), 13, "The milter f1 is already declared.\n" + ADD_FAILED);
    zt::write_file(conf + ".tmp", "");
    expect(full(), 13,
           conf + ".tmp was left by an edit that did not finish; it is to be removed once no edit "
                  "runs.\nFailed to open the file.: File exists\n" + ADD_FAILED);
}

}  // namespace
