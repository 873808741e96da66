// permitset and routeset end to end: one program shape over two tables. Every
// outcome with its exact messages and status, option order as POSIX getopt
// gives it, tables the real map builder accepts, and concurrent adds.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "support.h"

namespace {

using args_t = std::vector<std::string>;

args_t operator+(args_t a, const args_t &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A request that succeeds: the table before (empty: as laid) and after.
struct Success {
    std::string before;
    args_t args;
    std::string after;
};

// A request and what it does to the map makemap builds from the table:
// "+key\tvalue" sets an entry, "-key" drops one, keys folded as makemap
// folds them. A refused one says why and leaves the table as it was.
struct MapStep {
    args_t args;
    std::vector<std::string> change;
    std::string err = "";
};

struct NameOption {
    std::string opt;
    std::string empty;
    std::string too_long;
};

struct Prog {
    std::string name;
    std::string table;
    std::string original;
    std::string noun;
    std::string (*usage_lines)(const std::string &name);
    std::vector<NameOption> names;
    args_t add, edit;                // complete requests
    std::vector<args_t> missing;     // requests lacking a name they need
    std::string foreign;             // an option only the other program takes
    std::string key;                 // the option that names an entry to remove
    std::vector<Success> successes;  // its own, besides the shared ones
    std::string map_table;           // a table for makemap, and requests on it
    std::vector<MapStep> steps;
};

const std::string HOST_EMPTY = "Host name argument must include an actual host name.\n";
const std::string HOST_LONG = "Host name is too long. The max is: 1000.\n";
const std::string DOMAIN_EMPTY = "Domain name argument must include an actual domain name.\n";
const std::string DOMAIN_LONG = "Domain name is too long. The max is: 1000.\n";
const std::string NO_MODE =
    "A valid mode was not selected. The mode must be one of -a (add), -e (edit) or -r (remove)\n";
const std::string NO_LIST = "Failed to get the list of line numbers.\n";
const std::string NOT_INT = "Line number must be a valid integer. ";
const std::string NO_DIGIT = "Line number must be a valid digit.\n";
const std::string NO_DATA_EDIT = "Failed to modify the specified line.: No data available\n";
const std::string NO_DATA_REMOVE =
    "Failed to remove one or more of the specified lines.: No data available\n";
const std::string BUSY = "Failed to open the file.: File exists\n";
const std::string NOT_BOTH = "A removal takes an entry or line numbers, not both.\n";
const std::string DOMAIN_BLANK = "A domain name must not hold a blank or a newline.\n";
const std::string HOST_BLANK = "A host name must not hold a blank or a newline.\n";

std::string permitset_usage(const std::string &name)
{
    return "\nAdd: " + name + " -a -h host\n" + "Remove: " + name +
           " -r line1 [line2 line3 line4] \n" + "Edit: " + name +
           " -e -H old_host -h nost_new -l line_number\n";
}

std::string routeset_usage(const std::string &name)
{
    return "\nAdd: " + name + " -a -d domain -h host\n" + "Remove: " + name +
           " -r -d domain -l line number\n" + "Edit: " + name +
           " -e -D domain_old -d domain_new -h nost_new -l line_number\n";
}

const std::string H999 = zt::repeat('h', 999);
const std::string E999 = "k\t" + zt::repeat('v', 997);  // an entry of 999 characters
const std::string ACCESS = zt::TREE_ACCESS;
const std::string MAILERTABLE = zt::TREE_MAILERTABLE;

const Prog PERMITSET = {
    "permitset",
    "access",
    ACCESS,
    "access host",
    permitset_usage,
    {{"-h", HOST_EMPTY, HOST_LONG}, {"-H", HOST_EMPTY, HOST_LONG}},
    {"-a", "-h", "x\tOK\n"},
    {"-e", "-H", "x", "-h", "x\tOK\n"},
    {{"-a"}, {"-a", "-H", "x"}, {"-e", "-h", "x\tOK\n"}, {"-e", "-H", "x"}},  // missing a name
    "-D",
    "-H",
    // Its own successful requests, besides the shared ones.
    {
        {"", {"-a", "-h", "Connect:10.1.1.1\tRELAY\n"}, ACCESS + "Connect:10.1.1.1\tRELAY\n"},
        {"", {"-e", "-H", "Connect:127.0.0.1", "-h", "Connect:127.0.0.2\tREJECT\n", "-l", "7"},
         "Connect:127.0.0.2\tREJECT\nFrom:spammer@example.org\tREJECT\n"},
        {"", {"-e", "-H", "nowhere", "-h", "To:x\tOK\n"}, ACCESS + "To:x\tOK\n"},
        // Nothing written joins another entry.
        {"a\tOK", {"-a", "-h", "To:x\tOK\n"}, "a\tOK\nTo:x\tOK\n"},
        {"a\tOK", {"-e", "-H", "nowhere", "-h", "To:x\tOK\n"}, "a\tOK\nTo:x\tOK\n"},
        {"a\tOK\nb\tOK\nc\tOK\n", {"-e", "-H", "b", "-h", "B\tREJECT"},
         "a\tOK\nB\tREJECT\nc\tOK\n"},
        // The line number is checked for its form only.
        {"", {"-a", "-h", "0\tOK\n", "-l", "0"}, ACCESS + "0\tOK\n"},
        {"", {"-a", "-h", "-5\tOK\n", "-l", "-5"}, ACCESS + "-5\tOK\n"},
        {"", {"-a", "-h", "7x\tOK\n", "-l", "7x"}, ACCESS + "7x\tOK\n"},
        {"", {"-a", "-h", "123\tOK\n", "-l", "123"}, ACCESS + "123\tOK\n"},
        {"", {"-a", "-h", E999}, ACCESS + E999},
        // The last mode given decides; scanning stops at the first non-option.
        {"", {"-r", "-e", "-a", "-h", "x\tOK\n", "extra", "-z"}, ACCESS + "x\tOK\n"},
    },
    "Connect:127.0.0.1\tRELAY\n# senders\nFrom:ax.example\tOK\nFrom:X.example\tREJECT\n\nTo:x\tOK",
    {
        // The line whose key is the old one's, given alone or whole.
        {{"-e", "-H", "From:x.example", "-h", "From:x.example\tOK\n"}, {"+from:x.example\tOK"}},
        {{"-e", "-H", "From:x.example\tOK", "-h", "From:x.example\tNO"}, {"+from:x.example\tNO"}},
        {{"-a", "-h", "aaa\n"}, {}, "The entry for aaa has no value.\n"},
        {{"-a", "-h", " \t\n"}, {}, "An entry holds only blanks.\n"},
        {{"-a", "-h", " To:y\tOK\n"}, {}, "The entry for To:y begins with a blank.\n"},
        {{"-a", "-h", "connect:127.0.0.1\tOK"}, {}, "An entry for connect:127.0.0.1 already exists.\n"},
        {{"-a", "-h", "To:c\tOK\nto:C\tOK\n"}, {}, "An entry for to:C already exists.\n"},
        {{"-a", "-h", "To:a\tOK\n# b\n\nTo:b\tOK"}, {"+to:a\tOK", "+to:b\tOK"}},
        // Every blank makemap splits on ends a key.
        {{"-a", "-h", "Connect:127.0.0.1\rOK"}, {},
         "An entry for Connect:127.0.0.1 already exists.\n"},
        {{"-a", "-h", "to:A\vOK"}, {}, "An entry for to:A already exists.\n"},
        {{"-a", "-h", "aaa\f\n"}, {}, "The entry for aaa has no value.\n"},
        {{"-a", "-h", "aaa \t\r\n"}, {}, "The entry for aaa has no value.\n"},
        {{"-a", "-h", "\fTo:y\tOK\n"}, {}, "The entry for To:y begins with a blank.\n"},
        {{"-a", "-h", "\rTo:y\tOK\n"}, {}, "The entry for To:y begins with a blank.\n"},

        {{"-r", "1"}, {"-connect:127.0.0.1"}},
        // Removal by key, given alone or as the whole old line, or by a
        // number that names a line.
        {{"-r", "-H", "FROM:AX.example"}, {"-from:ax.example"}},
        {{"-H", "To:b\tOK\n", "-r"}, {"-to:b"}},
        {{"-r", "-H", "From:x"}, {}, "There is no entry for From:x.\n"},
        {{"-r", "-H", "# senders"}, {}, "There is no entry for # senders.\n"},
        {{"-r", "99"}, {}, "Line 99 is past the end of the file.\n"},
        {{"-r", "1", "-1"}, {}, "Line -1 is past the end of the file.\n"},
    },
};

const Prog ROUTESET = {
    "routeset",
    "mailertable",
    MAILERTABLE,
    "relay host",
    routeset_usage,
    {{"-d", DOMAIN_EMPTY, DOMAIN_LONG},
     {"-D", DOMAIN_EMPTY, DOMAIN_LONG},
     {"-h", HOST_EMPTY, HOST_LONG}},
    {"-a", "-d", "a", "-h", "b"},
    {"-e", "-D", "a", "-d", "b", "-h", "c"},
    {{"-a", "-d", "a"},
     {"-a", "-h", "b"},
     {"-e", "-d", "a", "-h", "b"},
     {"-e", "-D", "a", "-h", "b"},
     {"-e", "-D", "a", "-d", "b"}},
    "-H",
    "-D",
    // Its own successful requests, besides the shared ones.
    {
        {"", {"-a", "-d", "abc", "-h", "h"}, MAILERTABLE + "abc\th\n"},
        // A line number changes nothing in an add.
        {"", {"-a", "-l", "12", "-d", "a.b", "-h", "smtp:[x]"}, MAILERTABLE + "a.b\tsmtp:[x]\n"},
        {"a.net\tx\nd.org\th1\nb.net\ty\nd.org\th2\n",
         {"-e", "-D", "d.org", "-d", "e.org", "-h", "h3", "-l", "2"},
         "a.net\tx\ne.org\th3\nb.net\ty\nd.org\th2\n"},
        {"mail.example.com\th1\nexample.com\th2\n",
         {"-e", "-D", "example.com", "-d", "example.com", "-h", "h3"},
         "mail.example.com\th1\nexample.com\th3\n"},
        {"", {"-e", "-D", "nowhere.test", "-d", "new.test", "-h", "h"},
         MAILERTABLE + "new.test\th\n"},
        // Nothing written joins another entry.
        {"corp.example\tsmtp:[mail.corp.example]",
         {"-a", "-d", "new.example", "-h", "smtp:[relay2.example]"},
         "corp.example\tsmtp:[mail.corp.example]\nnew.example\tsmtp:[relay2.example]\n"},
        {"corp.example\th1", {"-e", "-D", "nowhere", "-d", "new.example", "-h", "h2"},
         "corp.example\th1\nnew.example\th2\n"},
        // The longest entry makemap reads.
        {"", {"-e", "-D", zt::repeat('D', 999), "-d", zt::repeat('d', 999), "-h", "h1234567890h1234567890"},
         MAILERTABLE + zt::repeat('d', 999) + "\th1234567890h1234567890\n"},
        // A repeated name replaces the earlier one.
        {"", {"-a", "-d", "first", "-d", "second", "-h", "h", "extra", "-z"},
         MAILERTABLE + "second\th\n"},
    },
    "# relays\ncorp.example\tsmtp:[corp.example]\n.corp.example\tsmtp:[corp.example]\n"
    "sub.p.example\tsmtp:[sub]\nP.Example\tsmtp:[p]",
    {
        // Not a subdomain, nor a line whose host names the domain.
        {{"-e", "-D", ".corp.example", "-d", ".corp.example", "-h", "r2"}, {"+.corp.example\tr2"}},
        {{"-e", "-D", "P.EXAMPLE", "-d", "p.example", "-h", "gw"}, {"+p.example\tgw"}},
        {{"-a", "-d", "EXAMPLE.com", "-h", "mx"}, {"+example.com\tmx"}},
        {{"-a", "-d", "example.COM", "-h", "x"}, {}, "An entry for example.COM already exists.\n"},
        {{"-e", "-D", "example.com", "-d", "corp.example", "-h", "x"}, {},
         "An entry for corp.example already exists.\n"},
        // One field each: no blank, no newline, and no comment for a domain.
        {{"-a", "-d", "a.example\nb", "-h", "x"}, {}, DOMAIN_BLANK},
        {{"-a", "-d", "sp ace.example", "-h", "x"}, {}, DOMAIN_BLANK},
        {{"-a", "-d", "b.example", "-h", "x\ny.example\tz"}, {}, HOST_BLANK},
        {{"-a", "-d", "b.example", "-h", "x\r"}, {}, HOST_BLANK},
        {{"-e", "-D", "corp.example ", "-d", "corp.example", "-h", "x"}, {}, DOMAIN_BLANK},
        {{"-e", "-D", "corp.example", "-d", "corp.example\v", "-h", "x"}, {}, DOMAIN_BLANK},
        {{"-a", "-d", "#" + zt::repeat('x', 998), "-h", zt::repeat('y', 30)}, {},
         "A domain name must not begin with #.\n"},
        // Keys fold at the alphabet's edges, and one key is not another's prefix.
        {{"-a", "-d", "Zeta.example", "-h", "z"}, {"+zeta.example\tz"}},
        {{"-a", "-d", "zeta.EXAMPLE", "-h", "x"}, {}, "An entry for zeta.EXAMPLE already exists.\n"},
        {{"-a", "-d", "a.example", "-h", "a"}, {"+a.example\ta"}},
        {{"-e", "-D", "A.example", "-d", "A.example", "-h", "b"}, {"+a.example\tb"}},
        {{"-a", "-d", "example.co", "-h", "co"}, {"+example.co\tco"}},
        {{"-e", "-D", "example.c", "-d", "example.c", "-h", "c"}, {"+example.c\tc"}},
        {{"-a", "-d", zt::repeat('d', 999), "-h", zt::repeat('h', 23)}, {},
         "The entry for " + zt::repeat('d', 999) + " is longer than 1022 characters.\n"},
        {{"-r", "3"}, {"-.corp.example"}},
        {{"-r", "-D", "EXAMPLE.CO"}, {"-example.co"}},
        {{"-r", "-D", "example.co"}, {}, "There is no entry for example.co.\n"},
        {{"-r", "-D", "example.com "}, {}, DOMAIN_BLANK},
    },
};

void PrintTo(const Prog *p, std::ostream *os) { *os << p->name; }

args_t numbers(int from, int to)
{
    args_t words;
    for (int i = from; i <= to; i++)
        words.push_back(std::to_string(i));
    return words;
}

class TablePrograms : public zt::TreeTest, public ::testing::WithParamInterface<const Prog *> {
protected:
    const Prog &p = *GetParam();
    const std::string table = zt::InstallTree::mail(p.table);
    const std::string tmp = table + ".tmp";

    void expect(const args_t &args, int status, const std::string &err,
                const std::string &argv0 = "")
    {
        zt::RunOptions opt;
        opt.argv0 = argv0;
        const zt::Result r = zt::run_prog(p.name, args, opt);
        EXPECT_EQ(r.status, status);
        EXPECT_EQ(r.err, err);
        EXPECT_EQ(r.out, "");
    }
    // getopt's diagnostic, then the usage text naming argv[0] when it is
    // short enough.
    std::string usage(const std::string &diagnostic, const std::string &argv0 = "") const
    {
        const std::string shown = argv0.empty() ? zt::program(p.name) : argv0;
        const std::string name = argv0.empty() || argv0.size() > 9 ? p.name : argv0;
        return shown + ": " + diagnostic + "\nInvalid option [?]\n" + p.usage_lines(name);
    }
    std::string failed(const std::string &what) const
    {
        return "Failed to " + what + " the " + p.noun + ".\n";
    }
};

// Every refusal comes before any file is touched: a leftover temporary file,
// which would fail any transaction, is not even noticed.
TEST_P(TablePrograms, RefusalsLeaveTheTableUntouched)
{
    struct Refusal {
        args_t args;
        int status;
        std::string err;
        std::string argv0 = "";
    };
    std::vector<Refusal> rows = {
        {{}, 255, NO_MODE},
        {{"-z"}, 1, usage("invalid option -- 'z'")},
        {{p.foreign, "x"}, 1, usage("invalid option -- '" + p.foreign.substr(1) + "'")},
        {p.add + args_t{"-l"}, 1, usage("option requires an argument -- 'l'")},
        {p.add + args_t{"-l", ""}, 18, "Line number argument requires a number to be specified.\n"},
        {p.add + args_t{"-l", "1234"}, 17, "Line number is too long.\n"},
        {p.add + args_t{"-l", "x"}, 6, NO_DIGIT},
        {p.add + args_t{"-l", " +"}, 6, NO_DIGIT},
        {p.add + args_t{"-l", "-x"}, 6, NO_DIGIT},
        // Options act in command-line order; removal numbers start at the third word.
        {{"-l", "1234", "-z"}, 17, "Line number is too long.\n"},
        {{"-z", "-l", "1234"}, 1, usage("invalid option -- 'z'")},
        {{"-r", "3", "-a"}, 255, NOT_INT + "-a is not a valid integer.\n" + NO_LIST},
        {{"-e", "-r", "3"}, 255, NOT_INT + "-r is not a valid integer.\n" + NO_LIST},
        {{"-a", "-r", "1"}, 255, NOT_INT + "-r is not a valid integer.\n" + NO_LIST},
        {{"-r", "1", "2147483648"}, 255, "Line number is out of range.\n" + NO_LIST},
        {{"-r", "1x"}, 255, NOT_INT + "1x is not a valid integer.\n" + NO_LIST},
        {{"-r", "2", "3 "}, 255, NOT_INT + "3  is not a valid integer.\n" + NO_LIST},
        {{"-r", p.key, "x", "5"}, 1, NOT_BOTH + p.usage_lines(p.name)},
        {{p.key, "x", "-r", "--", "5"}, 1, NOT_BOTH + p.usage_lines(p.name)},
        {args_t{"-r"} + numbers(11, 111), 255, "Too many lines to delete at once." + NO_LIST},
    };
    // argv[0] of at most 9 characters stands in the usage text for the name.
    for (const std::string &argv0 : args_t{"x", "abcdefghi", "abcdefghij", "/usr/sbin/" + p.name})
        rows.push_back({{"-z"}, 1, usage("invalid option -- 'z'", argv0), argv0});
    args_t names_only;
    for (const NameOption &n : p.names) {
        const std::string needs = "option requires an argument -- '" + n.opt.substr(1) + "'";
        rows.push_back({{"-a", n.opt, ""}, 255, n.empty});
        rows.push_back({{"-a", n.opt, zt::repeat('n', 1000)}, 1, n.too_long});
        rows.push_back({{"-a", n.opt}, 1, usage(needs)});
        rows.push_back({{n.opt, "", "-z"}, 255, n.empty});
        if (n.opt != p.key)
            rows.push_back({{"-r", n.opt, "D", "-l", "3"}, 255,
                            NOT_INT + n.opt + " is not a valid integer.\n" + NO_LIST});
        names_only = names_only + args_t{n.opt, "x"};
    }
    // Names without a mode still get the mode message first.
    rows.push_back({names_only + args_t{"-l", "1"}, 255, NO_MODE});
    const std::string missing = "Missing a required option.\n" + p.usage_lines(p.name);
    for (const args_t &args : p.missing)
        rows.push_back({args, 1, missing});

    zt::write_file(tmp, "left\n", 0600);
    for (const Refusal &r : rows) {
        SCOPED_TRACE(zt::shown(r.args) + " argv0 " + r.argv0);
        expect(r.args, r.status, r.err, r.argv0);
    }
    EXPECT_EQ(zt::read_file(table), p.original);
    EXPECT_EQ(zt::read_file(tmp), "left\n");
}

TEST_P(TablePrograms, RequestsChangeTheTableAsAsked)
{
    std::vector<Success> rows = p.successes;
    const std::string six = "1\n2\n3\n4\n5\n6\n";
    std::string lines_111, kept_111 = "2\n3\n4\n5\n6\n7\n8\n9\n10\n";
    for (int i = 1; i <= 111; i++)
        lines_111 += std::to_string(i) + "\n";
    kept_111 += "110\n111\n";
    rows.push_back({six, {"-r", "2", "5", "6", "0"}, "1\n3\n4\n"});
    rows.push_back({six, {"-r"}, six});
    rows.push_back({lines_111, args_t{"-r", "1"} + numbers(11, 109), kept_111});
    for (const Success &s : rows) {
        SCOPED_TRACE(zt::shown(s.args));
        zt::write_file(table, s.before.empty() ? p.original : s.before);
        expect(s.args, 0, "");
        EXPECT_EQ(zt::read_file(table), s.after);
        EXPECT_EQ(zt::file_mode(table), 0644u);
        EXPECT_FALSE(zt::exists(tmp));
    }
}

TEST_P(TablePrograms, FailedTransactionsLeaveTheTableAsItWas)
{
    zt::write_file(table, "");
    expect(p.edit, 255, NO_DATA_EDIT + failed("edit"));
    expect({"-r", "1"}, 255, NO_DATA_REMOVE + failed("remove"));
    expect({"-r"}, 255, NO_DATA_REMOVE + failed("remove"));
    EXPECT_EQ(zt::read_file(table), "");
    EXPECT_FALSE(zt::exists(tmp));

    expect({"-r", p.key, "x"}, 255, "There is no entry for x.\n" + failed("remove"));
    EXPECT_EQ(zt::read_file(table), "");
    EXPECT_FALSE(zt::exists(tmp));

    // What a killed edit left, and an edit in progress, each said as such.
    const std::string left = table + ".tmp was left by an edit that did not finish; it is to "
                                     "be removed once no edit runs.\n";
    zt::write_file(table, p.original);
    zt::write_file(tmp, "left\n", 0600);
    expect(p.add, 255, left + BUSY + failed("add"));
    expect(p.edit, 255, left + BUSY + failed("edit"));
    expect({"-r", "1"}, 255, left + BUSY + failed("remove"));
    EXPECT_EQ(zt::read_file(table), p.original);
    EXPECT_EQ(zt::read_file(tmp), "left\n");
    if (!zt::strace_works())
        GTEST_SKIP() << "strace cannot trace here: no edit to hold open";
    unlink(tmp.c_str());
    const pid_t slow = zt::spawn("/usr/bin/env",
                                 {"ASAN_OPTIONS=detect_leaks=0", "/usr/bin/strace", "-qq", "-o",
                                  "/dev/null", "-e", "inject=fsync:delay_enter=1500000", "--",
                                  zt::program(p.name), "-r", "1"});
    for (int i = 0; i < 2000 && !zt::exists(tmp); i++)
        usleep(1000);
    const std::string held = "An edit of " + table + " is in progress; try again.\n";
    expect(p.add, 255, held + BUSY + failed("add"));
    EXPECT_EQ(zt::wait_exit(slow), 0);
    EXPECT_EQ(zt::read_file(table), p.original.substr(p.original.find('\n') + 1));
}

TEST_P(TablePrograms, StartUpChecksComeFirst)
{
    unlink(zt::InstallTree::mail("sendmail.mc").c_str());
    expect({"-z", "-l", "1234"}, 1, "failed to find sendmail installed.\n");
}

TEST_P(TablePrograms, OnlyTheOwnerOfTheMainProgramMayUseIt)
{
    ZT_REQUIRE_ROOT("hands bin/zun to another user");
    const std::string zun = zt::InstallTree::path("bin/zun");
    ASSERT_EQ(chown(zun.c_str(), zt::nobody_uid(), zt::nobody_gid()), 0);
    expect(p.add, 2, "Failed to change user id.\n");
    EXPECT_EQ(zt::read_file(table), p.original);
    EXPECT_FALSE(zt::exists(tmp));
}

// makemap's stderr less its warnings about world-writable directories above
// the map (such as /tmp), which say nothing about the source.
std::string complaints(const std::string &err)
{
    std::istringstream in(err);
    std::string rest;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("WARNING: World writable directory ", 0) != 0)
            rest += line + "\n";
    }
    return rest;
}

// After every accepted request makemap builds the table and its map changed
// just as asked; a refused request changes no byte.
TEST_P(TablePrograms, EveryRequestLeavesATableMakemapBuilds)
{
    const char makemap[] = "/usr/sbin/makemap";
    if (!zt::exists(makemap))
        GTEST_SKIP() << makemap << " is not installed";
    // makemap wants a map directory nobody else may write.
    zt::TempDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0700), 0);
    std::map<std::string, std::string> map;
    const auto built = [&] {
        zt::RunOptions opt;
        opt.input = zt::read_file(table);
        const zt::Result r = zt::run(makemap, {"hash", dir / "map"}, opt);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(complaints(r.err), "");
        return zt::sorted_lines(zt::run(makemap, {"-u", "hash", dir / "map"}).out);
    };
    zt::write_file(table, p.map_table);
    for (const std::string &entry : built())
        map[entry.substr(0, entry.find('\t'))] = entry.substr(entry.find('\t') + 1);
    for (const MapStep &step : p.steps) {
        SCOPED_TRACE(zt::shown(step.args));
        const std::string before = zt::read_file(table);
        if (!step.err.empty()) {
            const std::string what = step.args[0] == "-a"   ? "add"
                                     : step.args[0] == "-e" ? "edit"
                                                            : "remove";
            expect(step.args, 255, step.err + failed(what));
            EXPECT_TRUE(zt::read_file(table) == before);
            continue;
        }
        expect(step.args, 0, "");
        for (const std::string &c : step.change) {
            const std::string key = c.substr(1, c.find('\t') - 1);
            if (c[0] == '+')
                map[key] = c.substr(c.find('\t') + 1);
            else
                map.erase(key);
        }
        std::vector<std::string> want;
        for (const auto &[key, value] : map)
            want.push_back(key + "\t" + value);
        EXPECT_EQ(built(), want);
    }
}

INSTANTIATE_TEST_SUITE_P(, TablePrograms, ::testing::Values(&PERMITSET, &ROUTESET),
                         [](const auto &info) { return info.param->name; });

// Many runs at once: each one either commits its whole line or fails to open
// its transaction; none loses another's line.
TEST(PermitsetRace, ConcurrentAddsNeverLoseOrTearALine)
{
    zt::InstallTree tree;
    const std::string access = zt::InstallTree::mail("access"), original = zt::TREE_ACCESS;
    const std::string failed = "Failed to add the access host.\n";
    const std::string again = "Failed to open the file.: Resource temporarily unavailable\n";
    // Never taken for a leftover: the name appears locked.
    const std::string busy = "An edit of " + access + " is in progress; try again.\n" + BUSY;
    for (int round = 0; round < 4; round++) {
        SCOPED_TRACE(round);
        zt::write_file(access, original);
        int gate[2];
        ASSERT_EQ(pipe2(gate, O_CLOEXEC), 0);
        struct Run {
            pid_t pid;
            int err_fd;
            std::string line;
        };
        std::vector<Run> runs;
        for (int i = 0; i < 16; i++) {
            Run run{-1, -1,
                    "Connect:10." + std::to_string(round) + ".0." + std::to_string(i) + "\t" +
                        zt::repeat('R', 200 + i) + "\n"};
            run.pid = zt::spawn(zt::program("permitset"), {"-a", "-h", run.line}, &run.err_fd,
                                gate[0]);
            runs.push_back(run);
        }
        ASSERT_EQ(write(gate[1], std::string(16, 'g').data(), 16), 16);
        close(gate[0]);
        close(gate[1]);
        std::string added;
        for (const Run &run : runs) {
            const std::string err = zt::read_all(run.err_fd);
            const int status = zt::wait_exit(run.pid);
            if (status == 0) {
                EXPECT_EQ(err, "");
                added += run.line;
            } else {
                EXPECT_EQ(status, 255);
                EXPECT_TRUE(err == busy + failed || err == again + failed) << err;
            }
        }
        const std::string content = zt::read_file(access);
        ASSERT_EQ(content.compare(0, original.size(), original), 0) << content;
        EXPECT_EQ(zt::sorted_lines(content.substr(original.size())), zt::sorted_lines(added));
        EXPECT_FALSE(zt::exists(access + ".tmp"));
        EXPECT_FALSE(added.empty());
    }
}

// A caller's armed timer, or a closed pipe on standard error while the
// edit fails, must not end a root edit halfway and leave its temporary file.
TEST(PermitsetCallerState, TimersAndClosedPipesCannotCutAnEditShort)
{
    zt::InstallTree tree;
    const std::string access = zt::InstallTree::mail("access"), entry = "Connect:192.0.2.9\tOK\n";
    std::string big;
    for (unsigned i = 0; big.size() < (20u << 20); i++)
        big += "From:sender" + std::to_string(i) + "@bulk.example.org\tREJECT\n";
    zt::RunOptions timer, dead_pipe;
    timer.timer_ms = 50;
    dead_pipe.err_dead_pipe = true;
    dead_pipe.soft_limits = {{RLIMIT_FSIZE, 0}};
    for (const auto &[opt, status, after] :
         {std::make_tuple(timer, 0, big + entry), std::make_tuple(dead_pipe, 255, big)}) {
        zt::write_file(access, big);
        const zt::Result r = zt::run_prog("permitset", {"-a", "-h", entry}, opt);
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.status, status);
        EXPECT_TRUE(zt::read_file(access) == after);
        EXPECT_FALSE(zt::exists(access + ".tmp"));
    }
}

// Whether pred() holds within five seconds.
template <typename F>
bool eventually(F pred)
{
    for (int i = 0; i < 50000; i++) {
        if (pred())
            return true;
        usleep(100);
    }
    return false;
}

// Nor can a caller stop an edit that holds the table with its terminal's
// signals, or park it there on a standard error that nobody reads.
TEST(PermitsetCallerState, TerminalSignalsAndFullPipesCannotHoldTheTable)
{
    zt::InstallTree tree;
    const std::string access = zt::InstallTree::mail("access"), tmp = access + ".tmp";
    const std::string entry = "Connect:192.0.2.9\tOK\n";
    std::string big;
    for (unsigned i = 0; big.size() < (20u << 20); i++)
        big += "From:sender" + std::to_string(i) + "@bulk.example.org\tREJECT\n";

    // Sent while the temporary file exists, so after the start-up.
    zt::write_file(access, big);
    pid_t pid = zt::spawn(zt::program("permitset"), {"-a", "-h", entry});
    eventually([&] { return zt::exists(tmp); });
    for (const int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTSTP, SIGTTIN, SIGTTOU, SIGCONT})
        kill(pid, sig);
    EXPECT_EQ(zt::wait_exit(pid), 0);
    EXPECT_TRUE(zt::read_file(access) == big + entry);

    // The edit fails, and its message meets a full pipe.
    zt::write_file(access, big);
    int err[2];
    ASSERT_EQ(pipe(err), 0);
    ASSERT_EQ(fcntl(err[1], F_SETFL, O_NONBLOCK), 0);
    const std::string filler(4096, 'f');
    while (write(err[1], filler.data(), filler.size()) > 0) {
    }
    ASSERT_EQ(fcntl(err[1], F_SETFL, 0), 0);
    zt::RunOptions opt;
    opt.err_to = err[1];
    opt.soft_limits = {{RLIMIT_FSIZE, 0}};
    pid = zt::spawn(zt::program("permitset"), {"-a", "-h", entry}, nullptr, -1, opt);
    close(err[1]);
    const std::string wchan = "/proc/" + std::to_string(pid) + "/wchan";
    EXPECT_TRUE(eventually(
        [&] { return zt::read_file(wchan).find("pipe_write") != std::string::npos; }));
    EXPECT_FALSE(zt::exists(tmp)) << "the table is held while the message waits";
    const std::string messages = zt::read_all(err[0]);
    EXPECT_EQ(zt::wait_exit(pid), 255);
    EXPECT_NE(messages.find("Failed to add the access host.\n"), std::string::npos);
    EXPECT_TRUE(zt::read_file(access) == big);
    EXPECT_FALSE(zt::exists(tmp));
}

}  // namespace
