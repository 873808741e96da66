// The manual pages against the programs they describe: the exit statuses a
// page lists are exactly the ones its program returns, and every message a
// run writes is quoted in the page.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "smlib.h"
#include "support.h"

namespace {

using zt::InstallTree;

// One run of a program: the command line, the exit status and the lines on
// standard error, and how the tree is changed first. A line ending in ": *"
// is a perror message whose system error text is not pinned down; GETOPT
// stands for getopt's diagnostic, which the page need not quote.
struct outcome {
    int status;
    std::vector<std::string> args;
    std::vector<std::string> lines;
    std::function<void()> setup = {};
    bool from_init = false;  // the status is the init script's
};

const std::string GETOPT = "<getopt>";

struct page {
    std::set<int> statuses;                // the .It Sy N items of EXIT STATUS
    std::vector<std::string> other_items;  // any other item there
    std::vector<std::string> quoted;       // the lines of the literal displays
};

std::string unescape(std::string line)
{
    static const std::pair<std::string, std::string> ESCAPES[] = {
        {"\\-", "-"}, {"\\(aq", "'"}, {"\\(ga", "`"}, {"\\&", ""}, {"\\e", "\\"}};
    for (const auto &[from, to] : ESCAPES) {
        for (size_t at = line.find(from); at != std::string::npos;
             at = line.find(from, at + to.size()))
            line.replace(at, from.size(), to);
    }
    return line;
}

std::string rtrim(std::string s)
{
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.pop_back();
    return s;
}

// The page as the build made it, with the real install root.
page read_page(const std::string &name)
{
    page p;
    bool in_exit = false, in_literal = false;
    for (const std::string &line :
         zt::lines(zt::read_file(std::string(ZT_BINARY_DIR) + "/man/" + name + ".8"))) {
        if (line.compare(0, 4, ".Sh ") == 0)
            in_exit = line == ".Sh EXIT STATUS";
        int status = -1;
        char rest = 0;
        if (line.compare(0, 12, ".Bd -literal") == 0 || line == ".Ed")
            in_literal = line != ".Ed";
        else if (in_literal)
            p.quoted.push_back(rtrim(unescape(line)));
        else if (in_exit && std::sscanf(line.c_str(), ".It Sy %d%c", &status, &rest) == 1)
            p.statuses.insert(status);
        else if (in_exit && line.compare(0, 4, ".It ") == 0)
            p.other_items.push_back(line.substr(4));
    }
    return p;
}

// A quoted line stands for msg when it is msg, when msg is a perror message
// and the page shows its text with ERROR after the colon, or when the quoted
// line's %s stands for the variable part of msg.
bool quotes(const page &p, const std::string &line)
{
    const std::string msg = rtrim(line);
    const size_t colon = msg.rfind(": ");
    for (const std::string &q : p.quoted) {
        if (q == msg)
            return true;
        if (colon != std::string::npos && q == msg.substr(0, colon) + ": ERROR")
            return true;
        const size_t hole = std::min(q.find("%s"), q.find("%d"));
        if (hole != std::string::npos) {
            const std::string head = q.substr(0, hole), tail = q.substr(hole + 2);
            if (msg.size() >= head.size() + tail.size() && msg.compare(0, head.size(), head) == 0 &&
                msg.compare(msg.size() - tail.size(), tail.size(), tail) == 0)
                return true;
        }
    }
    return false;
}

bool line_is(const std::string &got, const std::string &want)
{
    if (want == GETOPT)
        return got.find(" -- '") != std::string::npos;
    if (want.size() >= 3 && want.compare(want.size() - 3, 3, ": *") == 0)
        return got.compare(0, want.size() - 1, want, 0, want.size() - 1) == 0;
    return got == want;
}

// Runs every outcome in a fresh tree and checks the page against them.
void check_program(const std::string &name, const std::set<int> &returns,
                   const std::vector<outcome> &outcomes)
{
    const page p = read_page(name);
    std::set<int> seen;
    for (const outcome &o : outcomes) {
        SCOPED_TRACE(name + zt::shown(o.args));
        std::string err;
        {
            InstallTree tree;
            if (o.setup)
                o.setup();
            const zt::Result r = zt::run_prog(name, o.args);
            EXPECT_EQ(r.status, o.status);
            err = r.err;
        }
        const std::vector<std::string> got = zt::lines(err);
        if (got.size() != o.lines.size()) {
            ADD_FAILURE() << "standard error:\n" << err;
            continue;
        }
        for (size_t i = 0; i < got.size(); i++) {
            EXPECT_TRUE(line_is(got[i], o.lines[i])) << got[i] << "\nwanted: " << o.lines[i];
            EXPECT_TRUE(got[i].empty() || o.lines[i] == GETOPT || quotes(p, got[i]))
                << "not quoted in " << name << ".8: " << got[i];
        }
        if (!o.from_init)
            seen.insert(o.status);
    }
    EXPECT_EQ(seen, returns) << "the outcomes above must reach every status, and no other";
    EXPECT_EQ(p.statuses, returns) << "EXIT STATUS of " << name << ".8";
}

void rm(const std::string &path) { ASSERT_EQ(unlink(path.c_str()), 0) << path; }
void empty(const std::string &path) { zt::write_file(path, ""); }
void group_writable(const std::string &path) { ASSERT_EQ(chmod(path.c_str(), 0664), 0); }

const std::string NOT_INSTALLED = "failed to find sendmail installed.";
const std::string CONF = InstallTree::mail("sendmail.mc");

// What routeset and permitset share; noun is "relay host" or "access host".
struct table {
    std::string name, file, noun;
    std::vector<std::string> add, edit;  // complete add and edit command lines
    std::string entry, exists;           // what add writes, and its refusal when present
    std::string key;                     // the option that names an entry to remove
    std::vector<std::string> usage;      // the usage lines after "Invalid option [?]"
};

std::vector<outcome> table_outcomes(const table &t)
{
    const std::string file = InstallTree::mail(t.file);
    std::vector<std::string> usage = {GETOPT, "Invalid option [?]"};
    usage.insert(usage.end(), t.usage.begin(), t.usage.end());
    std::vector<std::string> missing = {"Missing a required option."};
    missing.insert(missing.end(), t.usage.begin(), t.usage.end());
    std::vector<std::string> both = {"A removal takes an entry or line numbers, not both."};
    both.insert(both.end(), t.usage.begin(), t.usage.end());
    std::vector<std::string> hundred_one = {"-r"};
    for (int i = 1; i <= 101; i++)
        hundred_one.push_back(std::to_string(i));
    const std::string list_failed = "Failed to get the list of line numbers.";
    return {
        {0, t.add, {}},
        {1, t.add, {NOT_INSTALLED}, [] { rm(CONF); }},
        {1, {"-x"}, usage},
        {1, {t.add[0]}, missing},
        {1, {"-r", t.key, "x", "1"}, both},
        {1, {"-h", zt::repeat('h', 1000)}, {"Host name is too long. The max is: 1000."}},
        {2, t.add, {"Failed to change user id."}, [] { rm(ZUN_BIN_PATH); }},
        {6, {"-l", "x"}, {"Line number must be a valid digit."}},
        {17, {"-l", "1234"}, {"Line number is too long."}},
        {18, {"-l", ""}, {"Line number argument requires a number to be specified."}},
        {255, {}, {"A valid mode was not selected. The mode must be one of -a (add), -e (edit) "
                   "or -r (remove)"}},
        {255, {"-a", "-h", ""}, {"Host name argument must include an actual host name."}},
        {255, {"-r", "1", "x6"},
         {"Line number must be a valid integer. x6 is not a valid integer.", list_failed}},
        {255, {"-r", "2147483648"}, {"Line number is out of range.", list_failed}},
        {255, hundred_one, {"Too many lines to delete at once." + list_failed}},
        {255, t.add,
         {file + ".tmp was left by an edit that did not finish; it is to be removed once no edit "
                 "runs.",
          "Failed to open the file.: File exists", "Failed to add the " + t.noun + "."},
         [file] { zt::write_file(file + ".tmp", "left over\n"); }},
        {255, {"-r", t.key, "none"},
         {"There is no entry for none.", "Failed to remove the " + t.noun + "."}},
        {255, {"-r", "9"},
         {"Line 9 is past the end of the file.", "Failed to remove the " + t.noun + "."}},
        {255, t.add, {t.exists, "Failed to add the " + t.noun + "."},
         [file, t] { zt::write_file(file, t.entry); }},
        {255, t.add,
         {"Permissions on " + file + " are not correct.", "Failed to open the file.: Permission denied",
          "Failed to add the " + t.noun + "."},
         [file] { group_writable(file); }},
        {255, t.edit,
         {"Failed to modify the specified line.: *", "Failed to edit the " + t.noun + "."},
         [file] { empty(file); }},
        {255, {"-r", "1"},
         {"Failed to remove one or more of the specified lines.: *",
          "Failed to remove the " + t.noun + "."},
         [file] { empty(file); }},
    };
}

// A complete hookset command line; later words override earlier ones.
std::vector<std::string> milter(const std::vector<std::string> &extra = {})
{
    std::vector<std::string> args = {"-m", "f1", "-s", "unix:/var/run/f1.sock", "-t", "enabled",
                                     "-f", "1",  "-C", "1",  "-R", "2",  "-E", "3",  "-S", "4"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

TEST(ManualPages, HooksetPageListsEveryStatusAndMessage)
{
    const std::string add_failed = "Failed to add the new milter.";
    const std::string big = "999999999";
    check_program(
        "hookset", {0, 1, 2, 4, 5, 6, 8, 9, 10, 11, 13, 14, 15},
        {
            {0, milter(), {}},
            {1, milter(), {NOT_INSTALLED}, [] { rm(CONF); }},
            {2, milter(), {"Can't go suid."}, [] { rm(ZUN_BIN_PATH); }},
            {4, milter({"-m", zt::repeat('m', 25)}), {"Milter name is too long."}},
            {5, milter({"-s", zt::repeat('s', 1034)}), {"Socket name is too long."}},
            {6, milter({"-f", "x"}), {"Fail type must be a valid digit."}},
            {8, milter({"-f", "3"}),
             {"Fail type must be either 0 (fail) or 1 (reject) or 2 (accept)."}},
            {9, milter({"-f", "10"}), {"Fail type argument too long."}},
            {10, milter({"-C", "abc"}),
             {"Timeout is invalid.", "Failed to convert a timeout value."}},
            {11, milter({"-S", "1234567890"}), {"Time out value is too long."}},
            {13, {"-x"}, {GETOPT}},
            {13, {},
             {"Missing a required parameter. All parameters are required.",
              "Parameters: [-a] -m -s -t -f -C -R -E -S"}},
            {13, milter({"-m", "f 1"}),
             {"Milter name contains a character that is not allowed.", add_failed}},
            {13, milter({"-s", "unix:/x')dnl"}),
             {"Socket name contains a character that is not allowed.", add_failed}},
            {13, milter({"-m", "dnl"}),
             {"Milter name contains a word that is not allowed.", add_failed}},
            {13, milter({"-s", "unix:/run/m4exit"}),
             {"Socket name contains a word that is not allowed.", add_failed}},
            {13, milter({"-s", "tcp:25@localhost"}),
             {"Socket must begin with unix:, local:, inet: or inet6:.", add_failed}},
            {13, milter({"-s", "inet:1@[::1]"}),
             {"An inet socket's host must be an IPv4 address or a host name.", add_failed}},
            {13, milter({"-s", "inet:1@" + zt::repeat('h', 1026), "-C", big, "-R", big, "-E", big,
                         "-S", big}),
             {"Milter line too long.", add_failed}},
            {13, milter({"-a"}), {"The milter f1 is already declared.", add_failed},
             [] { zt::write_file(CONF, "dnl INPUT_MAIL_FILTER(`F1',`S=unix:/f1')\n"); }},
            {13, milter(), {"Declaring f1 would leave more than 24 milters enabled.", add_failed},
             [] {
                 std::string mc;
                 for (int i = 0; i < 24; i++)
                     mc += "INPUT_MAIL_FILTER(`m" + std::to_string(i) + "',`S=unix:/m')\n";
                 zt::write_file(CONF, mc);
             }},
            {13, milter(),
             {CONF + ".tmp was left by an edit that did not finish; it is to be removed once no "
                     "edit runs.",
              "Failed to open the file.: File exists", add_failed},
             [] { zt::write_file(CONF + ".tmp", "left over\n"); }},
            {13, milter(),
             {"Permissions on " + CONF + " are not correct.", "Failed to open the file.: Permission denied",
              add_failed},
             [] { group_writable(CONF); }},
            {13, milter(), {"Failed to modify the specified line.: *", add_failed},
             [] { empty(CONF); }},
            {13, milter(), {"The declaration of f1 does not end on its line.", add_failed},
             [] { zt::write_file(CONF, "INPUT_MAIL_FILTER(`f1',\n`S=unix:/f1')\n"); }},
            {14, milter({"-t", "enabledXYZ"}), {"Enabled value is too long."}},
            {15, milter({"-t", "Enabled"}),
             {"Invalid status Enabled. Only enabled or disabled are allowed."}},
        });
}

TEST(ManualPages, RoutesetPageListsEveryStatusAndMessage)
{
    std::vector<outcome> outcomes = table_outcomes({
        "routeset",
        "mailertable",
        "relay host",
        {"-a", "-d", "example.net", "-h", "smtp:[relay.example.net]"},
        {"-e", "-D", "example.net", "-d", "example.net", "-h", "smtp:[mx.example.net]"},
        "example.net\tsmtp:[relay.example.net]\n",
        "An entry for example.net already exists.",
        "-D",
        {"", "Add: routeset -a -d domain -h host",
         "Remove: routeset -r -d domain -l line number",
         "Edit: routeset -e -D domain_old -d domain_new -h nost_new -l line_number"},
    });
    outcomes.push_back(
        {1, {"-D", zt::repeat('d', 1000)}, {"Domain name is too long. The max is: 1000."}});
    outcomes.push_back(
        {255, {"-d", ""}, {"Domain name argument must include an actual domain name."}});
    const std::string add_failed = "Failed to add the relay host.";
    outcomes.push_back({255, {"-a", "-d", "a b", "-h", "x"},
                        {"A domain name must not hold a blank or a newline.", add_failed}});
    outcomes.push_back({255, {"-a", "-d", "a", "-h", "x\ny"},
                        {"A host name must not hold a blank or a newline.", add_failed}});
    outcomes.push_back(
        {255, {"-a", "-d", "#a", "-h", "x"}, {"A domain name must not begin with #.", add_failed}});
    check_program("routeset", {0, 1, 2, 6, 17, 18, 255}, outcomes);
}

TEST(ManualPages, PermitsetPageListsEveryStatusAndMessage)
{
    const std::vector<outcome> outcomes = table_outcomes({
        "permitset",
        "access",
        "access host",
        {"-a", "-h", "Connect:192.0.2.7\tREJECT\n"},
        {"-e", "-H", "Connect:192.0.2.7", "-h", "Connect:192.0.2.7\tRELAY\n"},
        "Connect:192.0.2.7\tREJECT\n",
        "An entry for Connect:192.0.2.7 already exists.",
        "-H",
        {"", "Add: permitset -a -h host", "Remove: permitset -r line1 [line2 line3 line4] ",
         "Edit: permitset -e -H old_host -h nost_new -l line_number"},
    });
    check_program("permitset", {0, 1, 2, 6, 17, 18, 255}, outcomes);
}

TEST(ManualPages, MtactlPageListsEveryStatusAndMessage)
{
    const std::string usage =
        "You must specify either -s to start/stop sendmail or -p to return sendmail's most "
        "recent PID";
    const std::string init = InstallTree::path("sendmail/etc/init.d/sendmail");
    const std::string pid = InstallTree::path("sendmail/var/run/sendmail.pid");
    check_program(
        "mtactl", {0, 1, 255},
        {
            {0, {"-p"}, {}, [pid] { zt::write_file(pid, "4711\n"); }},
            {1, {}, {usage}},
            {1, {"-x"},
             {GETOPT, usage,
              "You may also switch which mode your mail server is running as. -h makes it a hub "
              "and -g makes it a gateway"}},
            {1, {"-g"},
             {InstallTree::mail("example-gateway.mc") +
                  ".tmp was left by a switch that did not finish; it is to be removed once no "
                  "switch runs.",
              "Failed to open the tempfile.: File exists"},
             [] { zt::write_file(InstallTree::mail("example-gateway.mc.tmp"), "left over\n"); }},
            {1, {"-h"},
             {"Permissions on " + InstallTree::mail("example-hub.mc") + " are not correct."},
             [] { group_writable(InstallTree::mail("example-hub.mc")); }},
            {1, {"-g"}, {"Failed to open the new sendmail config file.: *"},
             [] { rm(InstallTree::mail("example-gateway.mc")); }},
            {255, {"-p"}, {NOT_INSTALLED}, [] { rm(CONF); }},
            {255, {"-p"}, {"Can't go suid."}, [] { rm(ZUN_BIN_PATH); }},
            {255, {"-s", "restart"}, {"Invalid option. You can only use -s start or -s stop."}},
            {255, {"-s", "start"}, {"Permissions on " + init + " are not correct."},
             [init] { group_writable(init); }},
            {255, {"-s", "stop"}, {"Failed to execute sendmail: *"}, [init] { rm(init); }},
            {255, {"-p"}, {"Failed to open sendmail.pid file.: *"}},
            {7, {"-s", "start"}, {},
             [] { zt::write_file(InstallTree::path("sendmail/var/run/init.status"), "7\n"); },
             true},
        });
    const page p = read_page("mtactl");
    ASSERT_EQ(p.other_items.size(), 1u);
    EXPECT_NE(p.other_items[0].find("init script"), std::string::npos) << p.other_items[0];
}

// The command the table pages give for finding an entry's number prints,
// for every entry, a number that removes exactly that entry.
TEST(ManualPages, AwkCommandPrintsTheNumberThatRemovesEachEntry)
{
    const auto awk_of = [](const std::string &name) {
        for (const std::string &q : read_page(name).quoted)
            if (q.compare(0, 13, "LC_ALL=C awk ") == 0)
                return q;
        return std::string();
    };
    const std::string access = InstallTree::mail("access");
    const std::string awk = awk_of("permitset");
    ASSERT_GT(awk.size(), access.size()) << "no awk command in permitset.8";
    ASSERT_EQ(awk.substr(awk.size() - access.size()), access) << awk;
    EXPECT_EQ(awk_of("routeset"), awk.substr(0, awk.size() - access.size()) +
                                      InstallTree::mail("mailertable"));

    // Lines of 498, 499 and 1200 bytes before their newline take one, two
    // and three numbers.
    const std::vector<std::string> entries = {
        "a\n", zt::repeat('b', 498) + "\n", "c\n", zt::repeat('d', 499) + "\n",
        "e\n", zt::repeat('f', 1200) + "\n", "\n", "g\n"};
    std::string table;
    for (const std::string &e : entries)
        table += e;
    std::vector<std::string> printed;
    {
        InstallTree tree;
        zt::write_file(access, table);
        const zt::Result r = zt::run("/bin/sh", {"-c", awk});
        ASSERT_EQ(r.status, 0) << r.err;
        printed = zt::lines(r.out);
    }
    ASSERT_EQ(printed.size(), entries.size());
    for (size_t i = 0; i < entries.size(); i++) {
        const std::string &line = printed[i];
        const size_t colon = line.find(": ");
        ASSERT_NE(colon, std::string::npos) << line;
        ASSERT_EQ(line.substr(colon + 2) + "\n", entries[i]);
        const std::string number = line.substr(0, colon);
        InstallTree tree;
        zt::write_file(access, table);
        EXPECT_EQ(zt::run_prog("permitset", {"-r", number}).status, 0) << number;
        std::string rest;
        for (size_t j = 0; j < entries.size(); j++)
            rest += j == i ? "" : entries[j];
        EXPECT_EQ(zt::read_file(access), rest) << "permitset -r " << number;
    }
}

}  // namespace
