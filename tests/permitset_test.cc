// permitset end to end: every outcome with its exact messages and status,
// option order as POSIX getopt gives it, and concurrent adds.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support.h"

namespace {

const char NO_MODE[] =
    "A valid mode was not selected. The mode must be one of -a (add), -e (edit) or -r (remove)\n";
const char NO_LIST[] = "Failed to get the list of line numbers.\n";
const std::string ORIGINAL = zt::TREE_ACCESS;

std::string usage_lines(const std::string &name)
{
    return "\nAdd: " + name + " -a -h host\n" + "Remove: " + name +
           " -r line1 [line2 line3 line4] \n" + "Edit: " + name +
           " -e -H old_host -h nost_new -l line_number\n";
}

// getopt's diagnostic, then the usage text.
std::string usage(const std::string &diagnostic, const std::string &argv0 = "")
{
    const std::string shown = argv0.empty() ? zt::program("permitset") : argv0;
    const std::string name = argv0.empty() || argv0.size() > 9 ? "permitset" : argv0;
    return shown + ": " + diagnostic + "\nInvalid option [?]\n" + usage_lines(name);
}

const std::string MISSING = "Missing a required option.\n" + usage_lines("permitset");

class Permitset : public zt::TreeTest {
protected:
    const std::string access = zt::InstallTree::mail("access");

    zt::Result run(const std::vector<std::string> &args, const zt::RunOptions &opt = {})
    {
        return zt::run_prog("permitset", args, opt);
    }
    void expect(const std::vector<std::string> &args, int status, const std::string &err)
    {
        const zt::Result r = run(args);
        EXPECT_EQ(r.status, status);
        EXPECT_EQ(r.err, err);
        EXPECT_EQ(r.out, "");
    }
    void expect_untouched()
    {
        EXPECT_EQ(zt::read_file(access), ORIGINAL);
        EXPECT_FALSE(zt::exists(access + ".tmp"));
    }
};

TEST_F(Permitset, AddAppendsTheLineAsGiven)
{
    expect({"-a", "-h", "Connect:10.1.1.1\tRELAY\n"}, 0, "");
    EXPECT_EQ(zt::read_file(access), ORIGINAL + "Connect:10.1.1.1\tRELAY\n");
    EXPECT_EQ(zt::file_mode(access), 0644u);
    EXPECT_FALSE(zt::exists(access + ".tmp"));
}

TEST_F(Permitset, EditReplacesTheFirstMatchOrAppends)
{
    expect({"-e", "-H", "127.0.0", "-h", "Connect:127.0.0.2\tREJECT\n", "-l", "7"}, 0, "");
    EXPECT_EQ(zt::read_file(access),
              "Connect:127.0.0.2\tREJECT\nFrom:spammer@example.org\tREJECT\n");
    expect({"-e", "-H", "nowhere", "-h", "To:x\tOK\n"}, 0, "");
    EXPECT_EQ(zt::read_file(access),
              "Connect:127.0.0.2\tREJECT\nFrom:spammer@example.org\tREJECT\nTo:x\tOK\n");
}

TEST_F(Permitset, RemoveDropsTheNumberedLines)
{
    zt::write_file(access, "1\n2\n3\n4\n5\n6\n");
    expect({"-r", "2", "5", "99"}, 0, "");
    EXPECT_EQ(zt::read_file(access), "1\n3\n4\n6\n");
    expect({"-r"}, 0, "");
    EXPECT_EQ(zt::read_file(access), "1\n3\n4\n6\n");
}

TEST_F(Permitset, RequestsOnAnEmptyFileFail)
{
    zt::write_file(access, "");
    expect({"-e", "-H", "a", "-h", "b\n"}, 255,
           "Failed to modify the specified line.: No data available\n"
           "Failed to edit the access host.\n");
    expect({"-r", "1"}, 255,
           "Failed to remove one or more of the specified lines.: No data available\n"
           "Failed to remove the access host.\n");
    expect({"-r"}, 255,
           "Failed to remove one or more of the specified lines.: No data available\n"
           "Failed to remove the access host.\n");
    EXPECT_EQ(zt::read_file(access), "");
    EXPECT_FALSE(zt::exists(access + ".tmp"));
}

TEST_F(Permitset, ALeftoverTemporaryFileBlocksEveryRequest)
{
    zt::write_file(access + ".tmp", "left\n", 0600);
    const std::string busy = "Failed to open the file.: File exists\n";
    expect({"-a", "-h", "x\n"}, 255, busy + "Failed to add the access host.\n");
    expect({"-e", "-H", "x", "-h", "x\n"}, 255, busy + "Failed to edit the access host.\n");
    expect({"-r", "1"}, 255, busy + "Failed to remove the access host.\n");
    EXPECT_EQ(zt::read_file(access), ORIGINAL);
    EXPECT_EQ(zt::read_file(access + ".tmp"), "left\n");
}

TEST_F(Permitset, StartUpChecksComeFirst)
{
    unlink(zt::InstallTree::mail("sendmail.mc").c_str());
    expect({"-z", "-l", "1234"}, 1, "failed to find sendmail installed.\n");
}

TEST_F(Permitset, OnlyTheOwnerOfTheMainProgramMayUseIt)
{
    ZT_REQUIRE_ROOT("hands bin/zun to another user");
    ASSERT_EQ(chown(zt::InstallTree::path("bin/zun").c_str(), zt::nobody_uid(), zt::nobody_gid()),
              0);
    expect({"-a", "-h", "x\n"}, 2, "Failed to change user id.\n");
    expect_untouched();
}

TEST_F(Permitset, NoModeIsRefused)
{
    expect({}, 255, NO_MODE);
    // Names without a mode still get the mode message first.
    expect({"-h", "x\n", "-l", "1"}, 255, NO_MODE);
    expect_untouched();
}

TEST_F(Permitset, MissingNamesAreRefusedBeforeAnyFileIsTouched)
{
    zt::write_file(access + ".tmp", "left\n", 0600);
    expect({"-a"}, 1, MISSING);
    expect({"-a", "-H", "x"}, 1, MISSING);
    expect({"-e", "-h", "x\n"}, 1, MISSING);
    expect({"-e", "-H", "x"}, 1, MISSING);
    EXPECT_EQ(zt::read_file(access), ORIGINAL);
}

TEST_F(Permitset, NameArgumentsAreChecked)
{
    const std::string longest = zt::repeat('h', 999);
    const std::string too_long = zt::repeat('h', 1000);
    for (const char *opt : {"-h", "-H"}) {
        expect({"-a", opt, ""}, 255, "Host name argument must include an actual host name.\n");
        expect({"-a", opt, too_long}, 1, "Host name is too long. The max is: 1000.\n");
    }
    expect_untouched();
    expect({"-a", "-h", longest}, 0, "");
    EXPECT_EQ(zt::read_file(access), ORIGINAL + longest);
}

TEST_F(Permitset, LineNumberOptionIsCheckedAndOtherwiseIgnored)
{
    expect({"-a", "-h", "x\n", "-l", ""}, 18,
           "Line number argument requires a number to be specified.\n");
    expect({"-a", "-h", "x\n", "-l", "1234"}, 17, "Line number is too long.\n");
    expect({"-a", "-h", "x\n", "-l", "x"}, 6, "Line number must be a valid digit.\n");
    expect({"-a", "-h", "x\n", "-l", " +"}, 6, "Line number must be a valid digit.\n");
    expect_untouched();
    std::string added;
    for (const char *n : {"0", "-5", "7x", "123"}) {
        expect({"-a", "-h", std::string(n) + "\n", "-l", n}, 0, "");
        added += std::string(n) + "\n";
    }
    EXPECT_EQ(zt::read_file(access), ORIGINAL + added);
}

TEST_F(Permitset, RefusedOptionsPrintTheUsage)
{
    expect({"-z"}, 1, usage("invalid option -- 'z'"));
    expect({"-a", "-h", "x\n", "-l"}, 1, usage("option requires an argument -- 'l'"));
    expect({"-h"}, 1, usage("option requires an argument -- 'h'"));
    zt::RunOptions opt;
    opt.argv0 = "pset";
    zt::Result r = run({"-z"}, opt);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, usage("invalid option -- 'z'", "pset"));
    opt.argv0 = "permitset";
    r = run({"-H"}, opt);
    EXPECT_EQ(r.err, usage("option requires an argument -- 'H'", "permitset"));
    opt.argv0 = "/usr/sbin/permitset";
    r = run({"-z"}, opt);
    EXPECT_EQ(r.err, usage("invalid option -- 'z'", "/usr/sbin/permitset"));
    expect_untouched();
}

TEST_F(Permitset, OptionsAreTakenInCommandLineOrder)
{
    expect({"-l", "1234", "-z"}, 17, "Line number is too long.\n");
    expect({"-z", "-l", "1234"}, 1, usage("invalid option -- 'z'"));
    expect({"-h", "", "-z"}, 255, "Host name argument must include an actual host name.\n");
    expect({"-r", "3", "-a"}, 255,
           std::string("Line number must be a valid integer. -a is not a valid integer.\n") +
               NO_LIST);
    expect({"-e", "-r", "3"}, 255,
           std::string("Line number must be a valid integer. -r is not a valid integer.\n") +
               NO_LIST);
    expect_untouched();
    // The last mode given decides; scanning stops at the first non-option.
    expect({"-r", "-e", "-a", "-h", "x\n", "extra", "-z"}, 0, "");
    EXPECT_EQ(zt::read_file(access), ORIGINAL + "x\n");
}

TEST_F(Permitset, RemovalNamesAtMostAHundredLines)
{
    std::vector<std::string> args = {"-r"};
    for (int i = 1; i <= 101; i++)
        args.push_back(std::to_string(i + 10));
    expect(args, 255, std::string("Too many lines to delete at once.") + NO_LIST);
    expect({"-r", "1", "2147483648"}, 255, std::string("Line number is out of range.\n") + NO_LIST);
    expect_untouched();
    args.pop_back();
    args.back() = "1";
    expect(args, 0, "");
    EXPECT_EQ(zt::read_file(access), "From:spammer@example.org\tREJECT\n");
}

// Many runs at once: each one either commits its whole line or fails to open
// its transaction; none loses another's line.
class PermitsetRace : public zt::TreeTest {};

struct Started {
    pid_t pid;
    int err_fd;
    std::string line;
};

Started start(const std::string &line, const int go[2])
{
    int err[2];
    if (pipe(err) != 0)
        return {-1, -1, line};
    const pid_t pid = fork();
    if (pid == 0) {
        char c;
        // Every child waits here until the parent closes its end.
        close(go[1]);
        (void)!read(go[0], &c, 1);
        close(go[0]);
        const int null_fd = open("/dev/null", O_RDWR);
        dup2(null_fd, 0);
        dup2(null_fd, 1);
        dup2(err[1], 2);
        const std::string path = zt::program("permitset");
        const char *argv[] = {"permitset", "-a", "-h", line.c_str(), nullptr};
        std::string asan = "ASAN_OPTIONS=";
        if (const char *v = std::getenv("ASAN_OPTIONS"))
            asan += v;
        const char *envp[] = {"PATH=/usr/bin:/bin", asan.c_str(), nullptr};
        execve(path.c_str(), const_cast<char **>(argv), const_cast<char **>(envp));
        _exit(127);
    }
    close(err[1]);
    return {pid, err[0], line};
}

std::string drain(int fd)
{
    std::string s;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        s.append(buf, static_cast<size_t>(n));
    close(fd);
    return s;
}

std::multiset<std::string> lines_of(const std::string &text)
{
    std::multiset<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        lines.insert(line + "\n");
    return lines;
}

TEST_F(PermitsetRace, ConcurrentAddsNeverLoseOrTearALine)
{
    const std::string access = zt::InstallTree::mail("access");
    const std::string failed = "Failed to add the access host.\n";
    const std::set<std::string> busy = {
        "Failed to open the file.: File exists\n" + failed,
        "Failed to open the file.: Resource temporarily unavailable\n" + failed};
    for (int round = 0; round < 4; round++) {
        zt::write_file(access, ORIGINAL);
        int go[2];
        ASSERT_EQ(pipe(go), 0);
        std::vector<Started> runs;
        for (int i = 0; i < 16; i++) {
            const std::string line = "Connect:10." + std::to_string(round) + ".0." +
                                     std::to_string(i) + "\t" + zt::repeat('R', 200 + i) + "\n";
            runs.push_back(start(line, go));
            ASSERT_GT(runs.back().pid, 0);
        }
        close(go[0]);
        close(go[1]);
        std::multiset<std::string> added;
        for (Started &s : runs) {
            const std::string err = drain(s.err_fd);
            int ws = 0;
            ASSERT_EQ(waitpid(s.pid, &ws, 0), s.pid);
            ASSERT_TRUE(WIFEXITED(ws));
            const int status = WEXITSTATUS(ws);
            if (status == 0) {
                EXPECT_EQ(err, "");
                added.insert(s.line);
            } else {
                EXPECT_EQ(status, 255);
                EXPECT_EQ(busy.count(err), 1u) << err;
            }
        }
        const std::string content = zt::read_file(access);
        ASSERT_EQ(content.compare(0, ORIGINAL.size(), ORIGINAL), 0) << content;
        EXPECT_EQ(lines_of(content.substr(ORIGINAL.size())), added) << "round " << round;
        EXPECT_FALSE(zt::exists(access + ".tmp"));
        EXPECT_GE(added.size(), 1u);
    }
}

}  // namespace
