// An edit killed at any moment, or one whose reading fails, leaves the file
// holding either its old or its complete new content, never anything in
// between, and with its owner, mode and ACL.
#include <signal.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support.h"

namespace {

using args_t = std::vector<std::string>;
using call_t = std::pair<std::string, int>;  // a system call's name and occurrence

const char SETFACL[] = "/usr/bin/setfacl";
const char ACL_XATTR[] = "system.posix_acl_access";

// The name of the system call a trace line shows (after the pid that -f
// puts first), or "" for the other lines.
std::string call_name(const std::string &line)
{
    size_t i = line.find_first_not_of("0123456789 ");
    const size_t from = i == std::string::npos ? line.size() : i;
    while (i < line.size() && (std::isalnum(static_cast<unsigned char>(line[i])) || line[i] == '_'))
        i++;
    return i > from && i < line.size() && line[i] == '(' ? line.substr(from, i - from) : "";
}

// Each call of a trace with its occurrence among the calls of its name.
std::vector<call_t> calls_in(const std::string &trace)
{
    std::vector<call_t> calls;
    std::map<std::string, int> seen;
    for (const std::string &line : zt::lines(trace)) {
        const std::string name = call_name(line);
        if (!name.empty())
            calls.emplace_back(name, ++seen[name]);
    }
    return calls;
}

std::string acl_of(const std::string &path)
{
    char buf[4096];
    const ssize_t n = getxattr(path.c_str(), ACL_XATTR, buf, sizeof buf);
    return n < 0 ? std::string() : std::string(buf, static_cast<size_t>(n));
}

struct Attrs {
    uid_t uid;
    gid_t gid;
    mode_t mode;
    std::string acl;
};

Attrs attrs_of(const std::string &path)
{
    return {zt::file_uid(path), zt::file_gid(path), zt::file_mode(path), acl_of(path)};
}

// --- Crash points --------------------------------------------------------

// One run of a program that replaces one file of the mail directory.
struct SweepRun {
    std::string label;
    std::string prog;
    args_t args;
    std::string file;
    std::string before;
    std::string after;
    // Laid with group nogroup when root: the line editor keeps the group,
    // whereas a switch makes sendmail.mc anew, in its creator's group.
    bool foreign_group;
};

const std::string MC = zt::TREE_SENDMAIL_MC;
const std::string ACCESS = zt::TREE_ACCESS;
const std::string MAILERTABLE = zt::TREE_MAILERTABLE;
const std::string F1 = "INPUT_MAIL_FILTER(`f1',`S=unix:/tmp/f1,F=R,T=C:1m;E:3m;R:2m;S:4m')\n";
const args_t F1_ARGS = {"-m", "f1", "-s", "unix:/tmp/f1", "-t", "enabled", "-f", "1",
                        "-C", "1",  "-R", "2",            "-E", "3",       "-S", "4"};

args_t operator+(args_t a, const args_t &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const SweepRun SWEEP[] = {
    {"permitset_add", "permitset", {"-a", "-h", "Connect:10.1.1.1\tRELAY\n"}, "access", ACCESS,
     ACCESS + "Connect:10.1.1.1\tRELAY\n", true},
    {"permitset_edit", "permitset",
     {"-e", "-H", "From:spammer@example.org", "-h", "From:other@example.org\tDISCARD\n"}, "access", ACCESS,
     "Connect:127.0.0.1\tRELAY\nFrom:other@example.org\tDISCARD\n", true},
    {"permitset_remove", "permitset", {"-r", "1"}, "access", ACCESS,
     "From:spammer@example.org\tREJECT\n", true},
    {"routeset_add", "routeset", {"-a", "-d", "new.example", "-h", "smtp:[relay2.example]"},
     "mailertable", MAILERTABLE, MAILERTABLE + "new.example\tsmtp:[relay2.example]\n", true},
    {"routeset_edit", "routeset",
     {"-e", "-D", "example.org", "-d", "example.edu", "-h", "relay:mx.edu"}, "mailertable",
     MAILERTABLE, "example.com\tsmtp:[relay.example.net]\nexample.edu\trelay:mx.edu\n", true},
    {"routeset_remove", "routeset", {"-r", "1"}, "mailertable", MAILERTABLE,
     "example.org\tsmtp:[mx.example.org]\n", true},
    {"hookset_append", "hookset", F1_ARGS + args_t{"-a"}, "sendmail.mc", MC, MC + F1, true},
    {"hookset_replace", "hookset", F1_ARGS, "sendmail.mc",
     MC + "INPUT_MAIL_FILTER(`f1',`S=unix:/tmp/old,F=T,T=C:9m;E:9m;R:9m;S:9m')\n" + "dnl end\n",
     MC + F1 + "dnl end\n", true},
    {"mtactl_g", "mtactl", {"-g"}, "sendmail.mc", MC, zt::TREE_GATEWAY_MC, false},
    {"mtactl_h", "mtactl", {"-h"}, "sendmail.mc", MC, zt::TREE_HUB_MC, false},
};

void PrintTo(const SweepRun &run, std::ostream *os) { *os << run.label; }

class CrashPoints : public zt::TreeTest, public ::testing::WithParamInterface<SweepRun> {
protected:
    const SweepRun &run = GetParam();
    const std::string path = zt::InstallTree::mail(run.file);
    std::string acl;  // what setfacl made of g:2000:r
    Attrs laid{};

    // The mail directory as laid, without what a killed run left, and the
    // run's file with its owner, mode 0640 and the ACL.
    void lay()
    {
        const std::string dir = zt::InstallTree::path("sendmail/etc/mail");
        for (const std::string &name : zt::list_dir(dir))
            unlink((dir + "/" + name).c_str());
        zt::write_file(zt::InstallTree::mail("sendmail.mc"), MC);
        zt::write_file(zt::InstallTree::mail("example-gateway.mc"), zt::TREE_GATEWAY_MC);
        zt::write_file(zt::InstallTree::mail("example-hub.mc"), zt::TREE_HUB_MC);
        zt::write_file(zt::InstallTree::mail("access"), ACCESS);
        zt::write_file(zt::InstallTree::mail("mailertable"), MAILERTABLE);
        zt::write_file(path, run.before, 0640);
        if (run.foreign_group && zt::is_root()) {
            ASSERT_EQ(chown(path.c_str(), 0, zt::nobody_gid()), 0);
        }
        if (!acl.empty()) {
            ASSERT_EQ(setxattr(path.c_str(), ACL_XATTR, acl.data(), acl.size(), 0), 0);
        }
    }

    // What is wrong after a run; empty when nothing is.
    std::string fault() const
    {
        if (!zt::exists(zt::InstallTree::mail("sendmail.mc")))
            return "sendmail.mc missing";
        if (!zt::exists(path))
            return run.file + " missing";
        const std::string now = zt::read_file(path);
        if (now != run.before && now != run.after)
            return "neither old nor new content (" + std::to_string(now.size()) + " bytes)";
        const Attrs a = attrs_of(path);
        std::ostringstream f;
        if (a.uid != laid.uid || a.gid != laid.gid)
            f << " owner " << a.uid << ":" << a.gid;
        if (a.mode != laid.mode)
            f << " mode 0" << std::oct << a.mode << std::dec;
        if (a.acl != laid.acl)
            f << (a.acl.empty() ? " no ACL" : " another ACL");
        if (f.str().empty())
            return "";
        return (now == run.before ? "old" : "new") + std::string(" content with") + f.str();
    }
};

// SIGKILL at the entry of each system call of a run, one run per call: the
// calls are enumerated by name and occurrence from a clean trace of the same
// run, which is deterministic for these single-process programs.
TEST_P(CrashPoints, KillAtAnySystemCallLeavesOldOrNewFile)
{
    if (!zt::strace_works())
        GTEST_SKIP() << "strace cannot trace here";
    if (access(SETFACL, X_OK) != 0)
        GTEST_SKIP() << "setfacl (Debian package acl) is missing";
    const std::string probe = zt::InstallTree::mail("acl-probe");
    zt::write_file(probe, "", 0640);
    const zt::Result set = zt::run(SETFACL, {"-m", "g:2000:r", probe});
    if (set.status != 0)
        GTEST_SKIP() << "the file system refuses ACLs: " << set.err;
    acl = acl_of(probe);
    ASSERT_FALSE(acl.empty());

    zt::TempDir dir;
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_NO_FATAL_FAILURE(lay());
    laid = attrs_of(path);
    ASSERT_EQ(laid.acl, acl);
    const zt::Result clean = zt::traced({"-f", "-o", dir / "trace"}, run.prog, run.args);
    ASSERT_EQ(clean.status, 0) << clean.err;
    EXPECT_EQ(zt::read_file(path), run.after);
    EXPECT_EQ(fault(), "") << "after the clean run";
    std::vector<call_t> points = calls_in(zt::read_file(dir / "trace"));
    // strace injects nothing into its own exec of the program.
    points.erase(std::remove(points.begin(), points.end(), call_t("execve", 1)), points.end());
    ASSERT_FALSE(points.empty());

    std::vector<std::string> faults;
    for (const call_t &c : points) {
        const std::string at = c.first + "#" + std::to_string(c.second);
        ASSERT_NO_FATAL_FAILURE(lay());
        const zt::Result r =
            zt::traced({"-f", "-qq", "-o", "/dev/null", "-e", "trace=" + c.first,
                    "-e", "inject=" + c.first + ":signal=KILL:when=" + std::to_string(c.second)},
                   run.prog, run.args);
        if (r.signal != SIGKILL)
            faults.push_back(at + ": not killed (exit status " + std::to_string(r.status) + ")");
        else if (const std::string f = fault(); !f.empty())
            faults.push_back(at + ": " + f);
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - t0;

    std::ostringstream summary;
    summary << run.label << ": " << points.size() << " crash points, " << faults.size()
            << " failing, " << took.count() << " s";
    std::cout << summary.str() << "\n";
    RecordProperty("crash_points", static_cast<int>(points.size()));
    RecordProperty("failing", static_cast<int>(faults.size()));
    RecordProperty("seconds", std::to_string(took.count()));
    std::string list;
    for (const std::string &f : faults)
        list += "\n  " + f;
    EXPECT_TRUE(faults.empty()) << summary.str() << list;
}

INSTANTIATE_TEST_SUITE_P(Runs, CrashPoints, ::testing::ValuesIn(SWEEP),
                         [](const ::testing::TestParamInfo<SweepRun> &p) { return p.param.label; });

// --- A failing read --------------------------------------------------------

const char READ_CALLS[] = "read,pread64,readv,preadv,preadv2,copy_file_range,sendfile,splice";

// Of the read-like calls on one file (a trace filtered by -P), the first
// made when some but not all of the file's bytes have been read, or else the
// last; with its occurrence among the calls of its name on that file, which
// is how -P makes strace count them for an injection.
call_t partway_read(const std::string &trace, size_t size)
{
    std::map<std::string, int> seen;
    call_t last;
    size_t got = 0;
    for (const std::string &line : zt::lines(trace)) {
        const std::string name = call_name(line);
        if (name.empty())
            continue;
        last = {name, ++seen[name]};
        if (got > 0 && got < size)
            break;
        const size_t eq = line.rfind("= ");
        const long n = eq == std::string::npos ? -1 : std::strtol(&line[eq + 2], nullptr, 10);
        got += n > 0 ? static_cast<size_t>(n) : 0;
    }
    return last;
}

class ReadFailure : public zt::TreeTest {};

// The table is larger than the editor's read-ahead of 512 KiB, so the read
// fails after part of it has been copied: a pass that took the error for
// the end of the file would commit that part.
TEST_F(ReadFailure, PartwayFailsTheRequestAndKeepsTheTable)
{
    if (!zt::strace_works())
        GTEST_SKIP() << "strace cannot trace here";
    const std::string table = zt::InstallTree::mail("access");
    std::string big;
    for (int i = 0; big.size() < (1200u << 10); i++)
        big += "From:sender" + std::to_string(i) + "@bulk.example.org\tREJECT\n";
    const std::string eio = ".: Input/output error\n";
    const struct {
        args_t args;
        std::string err;
    } requests[] = {
        {{"-a", "-h", "Connect:192.0.2.1\tRELAY\n"},
         "Failed to add the specified line to the file" + eio + "Failed to add the access host.\n"},
        {{"-e", "-H", "From:sender7000@bulk.example.org", "-h", "From:x@example.org\tOK\n"},
         "Failed to modify the specified line" + eio + "Failed to edit the access host.\n"},
        {{"-r", "7000"},
         "Failed to remove one or more of the specified lines" + eio +
             "Failed to remove the access host.\n"},
    };
    zt::TempDir dir;
    for (const auto &rq : requests) {
        SCOPED_TRACE("permitset" + zt::shown(rq.args));
        zt::write_file(table, big);
        const zt::Result clean =
            zt::traced({"-P", table, "-e", std::string("trace=") + READ_CALLS, "-o", dir / "reads"},
                   "permitset", rq.args);
        ASSERT_EQ(clean.status, 0) << clean.err;
        const call_t c = partway_read(zt::read_file(dir / "reads"), big.size());
        ASSERT_FALSE(c.first.empty()) << "no read of the table traced";
        SCOPED_TRACE("EIO at " + c.first + "#" + std::to_string(c.second));

        zt::write_file(table, big);
        const zt::Result r = zt::traced(
            {"-P", table, "-qq", "-o", "/dev/null", "-e", "trace=" + c.first, "-e",
             "inject=" + c.first + ":error=EIO:when=" + std::to_string(c.second)},
            "permitset", rq.args);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err, rq.err);
        EXPECT_TRUE(zt::read_file(table) == big) << "the table was changed";
        EXPECT_FALSE(zt::exists(table + ".tmp"));
    }
}

// --- Kills at random moments ------------------------------------------------

TEST(CrashSweep, KilledEditLeavesOldOrNewContent)
{
    zt::InstallTree tree;
    const std::string access = zt::InstallTree::mail("access");
    const std::string entry = "Connect:192.0.2.77\tRELAY\n";
    std::string old_content;
    for (unsigned i = 0; old_content.size() < (10u << 20); i++)
        old_content += "From:sender" + std::to_string(i) + "@bulk.example.org\tREJECT\n";
    const auto add = [&] { return zt::spawn(zt::program("permitset"), {"-a", "-h", entry}); };

    zt::write_file(access, old_content);
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(zt::wait_exit(add()), 0);
    const auto full = std::chrono::steady_clock::now() - t0;
    ASSERT_EQ(zt::read_file(access), old_content + entry);

    const int runs = 60;
    int saw_old = 0;
    for (int i = 0; i < runs; i++) {
        zt::write_file(access, old_content);
        // Spread the kills over the whole run and a little past its end.
        const pid_t pid = add();
        std::this_thread::sleep_for(full * i * 6 / (runs * 5));
        kill(pid, SIGKILL);
        zt::wait_exit(pid);
        const std::string now = zt::read_file(access);
        ASSERT_TRUE(now == old_content || now == old_content + entry)
            << "run " << i << ": file of " << now.size() << " bytes is neither";
        saw_old += now == old_content;
        // A killed transaction leaves its temporary file; it is removed by hand.
        unlink((access + ".tmp").c_str());
    }
    EXPECT_GT(saw_old, 0);
    RecordProperty("old", saw_old);
    RecordProperty("new", runs - saw_old);
}

}  // namespace
