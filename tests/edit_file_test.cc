// The transactional line editor, on real files in a temporary directory.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "edit_file.h"
#include "support.h"

// The editor's switch for the tests: below 0 the kernel copies what it can;
// at 0 or more every span goes to the kernel, which refuses after as many
// calls as it holds, with the errno of the refusal.
extern long edit_file_copy_budget;
extern int edit_file_copy_refusal;

namespace {

constexpr unsigned long NO_LINE = static_cast<unsigned long>(-1);

using Op = std::function<int(edit_file *)>;
using names_t = std::vector<std::string>;

Op add(std::string text)
{
    return [=](edit_file *ef) { return add_line(ef, text.c_str()); };
}
Op modify(unsigned long n, const char *match, std::string text = "NEW\n")
{
    return [=](edit_file *ef) { return modify_line(ef, n, match, text.c_str()); };
}
Op rm(unsigned long n, const char *match = nullptr)
{
    return [=](edit_file *ef) { return rm_line(ef, n, match); };
}
Op rms(std::vector<unsigned int> list)
{
    return [=](edit_file *ef) {
        return rm_lines(ef, list.data(), static_cast<unsigned int>(list.size()));
    };
}

// modify_keyed, its result 2 when a line had the old key and -2 when a
// line kept one of the keys.
Op keyed(const char *old, std::vector<std::string> keys, std::string text = "x\tOK\n")
{
    return [=](edit_file *ef) {
        key_edit edit(old, {keys.begin(), keys.end()});
        const int rc = modify_keyed(ef, text.c_str(), edit);
        return rc > 0 ? rc + edit.found : edit.taken.empty() ? rc : -2;
    };
}

const std::string FIVE = "one\ntwo\nthree\nfour\nfive\n";
const std::string TABLE = "From:a\tREJECT\n# From:b\nfrom:B\tRELAY\n\n c\tOK\nc\tOK";

// One whole transaction: the file before, the operation, its result and the
// file after (committed when the result is above 0), the same whether the
// kernel copies what it can or all, refuses from the start or partway, with
// any errno by which file systems refuse.
struct Case {
    const char *what;
    std::string before;
    Op op;
    int rc;
    std::string after;
};

class Edit : public ::testing::Test {
protected:
    zt::TempDir dir;
    const std::string file = dir / "table";
    const std::string tmp = file + ".tmp";

    edit_ptr open(const std::string &content, mode_t mode = 0644)
    {
        zt::write_file(file, content, mode);
        return edit_ptr(open_file(file.c_str()));
    }
    void check(const std::vector<Case> &cases)
    {
        const struct {
            long budget;
            int refusal;
        } copies[] = {{-1, 0},         {1000000, ENOSYS}, {0, ENOSYS}, {0, EXDEV},
                      {0, EINVAL},     {0, EOPNOTSUPP},   {1, ENOSYS}, {1, EXDEV},
                      {1, EINVAL},     {1, EOPNOTSUPP}};
        for (const auto &copy : copies) {
            for (const Case &c : cases) {
                SCOPED_TRACE(std::string(c.what) + ", copy budget " + std::to_string(copy.budget) +
                             ", refused with " + std::strerror(copy.refusal));
                edit_ptr ef = open(c.before);
                ASSERT_TRUE(ef) << std::strerror(errno);
                edit_file_copy_budget = copy.budget;
                edit_file_copy_refusal = copy.refusal;
                EXPECT_EQ(c.op(ef.get()), c.rc);
                edit_file_copy_budget = -1;
                edit_file_copy_refusal = ENOSYS;
                if (c.rc > 0) {
                    EXPECT_EQ(commit_file(ef.get()), 1);
                }
                ef.reset();
                EXPECT_EQ(zt::read_file(file), c.after);
                EXPECT_EQ(zt::list_dir(dir.path()), names_t{"table"});
            }
        }
    }
};

// --- The transaction ----------------------------------------------------

using EditTransaction = Edit;

TEST_F(EditTransaction, OpenCreatesAnEmptyPrivateTemporaryFile)
{
    edit_ptr ef = open(FIVE);
    ASSERT_TRUE(ef);
    char *name = reinterpret_cast<char *>(1);
    errno = 0;
    EXPECT_EQ(mktemp_file(file.c_str(), &name), nullptr);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(name, nullptr);
    EXPECT_STREQ(ef->fname, file.c_str());
    EXPECT_STREQ(ef->fname_tmp, tmp.c_str());
    EXPECT_EQ(ef->is_dirty, 0);
    EXPECT_EQ(ef->mode & 07777, 0644u);
    EXPECT_EQ(static_cast<uid_t>(ef->uid), geteuid());
    EXPECT_EQ(zt::read_file(tmp), "");
    EXPECT_EQ(zt::file_mode(tmp), 0600u);
    ef.reset();
    FILE *fp = mktemp_file(file.c_str(), &name);
    ASSERT_NE(fp, nullptr);
    EXPECT_EQ(std::string(name), tmp);
    std::fclose(fp);
    std::free(name);
}

// Released uncommitted, the copy goes; once committed, or found unchanged,
// the transaction no longer owns the temporary name, and its release must not
// take the next transaction's file.
TEST_F(EditTransaction, ReleaseRemovesOnlyAnUncommittedCopy)
{
    // -1: released uncommitted; 0: committed unchanged; 1: committed changed.
    for (int commit : {-1, 0, 1}) {
        SCOPED_TRACE(commit);
        edit_ptr ef = open(FIVE, 0640);
        ASSERT_TRUE(ef);
        struct stat before, after;
        ASSERT_EQ(stat(file.c_str(), &before), 0);
        if (commit != 0) {
            ASSERT_EQ(add_line(ef.get(), "six\n"), 1);
        }
        if (commit >= 0) {
            EXPECT_EQ(commit_file(ef.get()), commit);
            EXPECT_FALSE(zt::exists(tmp));
            EXPECT_TRUE(commit != 1 || (ef->fp == nullptr && ef->fp_tmp == nullptr));
            zt::write_file(tmp, "next\n", 0600);
        }
        ef.reset();
        EXPECT_EQ(zt::exists(tmp) ? zt::read_file(tmp) : "", commit >= 0 ? "next\n" : "");
        EXPECT_EQ(zt::read_file(file), commit == 1 ? FIVE + "six\n" : FIVE);
        unlink(tmp.c_str());
        EXPECT_EQ(zt::list_dir(dir.path()), names_t{"table"});
        ASSERT_EQ(stat(file.c_str(), &after), 0);
        EXPECT_EQ(after.st_mode, before.st_mode);
        EXPECT_EQ(after.st_ino == before.st_ino, commit != 1);
    }
}

TEST_F(EditTransaction, OpenRefusesAndTouchesNothing)
{
    errno = 0;
    EXPECT_EQ(open_file((dir / "missing").c_str()), nullptr);
    EXPECT_EQ(errno, ENOENT);
    zt::write_file(file, FIVE, 0664);
    testing::internal::CaptureStderr();
    EXPECT_EQ(open_file(file.c_str()), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Permissions on " + file + " are not correct.\n");
    EXPECT_EQ(zt::list_dir(dir.path()), names_t{"table"});
    // A leftover temporary file blocks every transaction until removed by hand.
    zt::write_file(file, FIVE);
    zt::write_file(tmp, "left over\n", 0644);
    EXPECT_EQ(open_file(file.c_str()), nullptr);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(zt::read_file(tmp), "left over\n");
    EXPECT_EQ(zt::file_mode(tmp), 0644u);
    EXPECT_EQ(zt::read_file(file), FIVE);
    // A dangling symbolic link there is not followed either.
    ASSERT_EQ(unlink(tmp.c_str()), 0);
    ASSERT_EQ(symlink((dir / "elsewhere").c_str(), tmp.c_str()), 0);
    errno = 0;
    EXPECT_EQ(open_file(file.c_str()), nullptr);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_FALSE(zt::exists(dir / "elsewhere"));
}

// Root also gives the file back its owner and group; chown may clear the
// set-id bits, so the mode must be set after it.
TEST_F(EditTransaction, CommitKeepsModeOwnerAndGroupExactly)
{
    for (mode_t mode : {0644u, 0600u, 0400u, 06644u, 04755u, 02640u, 01644u}) {
        SCOPED_TRACE(mode);
        zt::write_file(file, FIVE, 0644);
        if (zt::is_root()) {
            ASSERT_EQ(getuid(), 0u);
            ASSERT_EQ(chown(file.c_str(), 0, zt::nobody_gid()), 0);
        }
        ASSERT_EQ(chmod(file.c_str(), mode), 0);
        edit_ptr ef(open_file(file.c_str()));
        ASSERT_TRUE(ef);
        ASSERT_EQ(rm_line(ef.get(), 1, nullptr), 1);
        ASSERT_EQ(commit_file(ef.get()), 1);
        ef.reset();
        EXPECT_EQ(zt::read_file(file), "two\nthree\nfour\nfive\n");
        EXPECT_EQ(zt::file_mode(file), mode);
        if (zt::is_root()) {
            EXPECT_EQ(zt::file_uid(file), 0u);
            EXPECT_EQ(zt::file_gid(file), zt::nobody_gid());
        }
    }
}

// The ACL and the other extended attributes stay the file's own after every
// kind of commit: none lost, and none the new file inherited added.
TEST_F(EditTransaction, CommitKeepsTheAclAndExtendedAttributes)
{
    const std::string group = "g:" + std::to_string(zt::nobody_gid()) + ":r";
    zt::write_file(file, FIVE, 0640);
    if (!zt::set_acl(file, group) || setxattr(file.c_str(), "user.zt", "v\0w", 3, 0) != 0)
        GTEST_SKIP() << "needs setfacl (Debian package acl) and a file system with ACLs "
                        "and user attributes";
    // The temporary files inherit the directory's default ACL; plain has none.
    const std::string acl = zt::acl_of(file), plain = dir / "plain";
    zt::write_file(plain, FIVE, 0640);
    const std::string plain_acl = zt::acl_of(plain);
    ASSERT_TRUE(zt::set_acl(dir.path(), "d:g:" + std::to_string(zt::nobody_gid()) + ":rw"));
    for (const std::string &name : {file, plain}) {
        for (const Op &op : {add("six\n"), modify(1, nullptr), rms({2})}) {
            edit_ptr ef(open_file(name.c_str()));
            ASSERT_TRUE(ef);
            ASSERT_GT(op(ef.get()), 0);
            ASSERT_EQ(commit_file(ef.get()), 1) << std::strerror(errno);
        }
        EXPECT_EQ(zt::file_mode(name), 0640u);
    }
    EXPECT_EQ(zt::acl_of(file), acl);
    EXPECT_EQ(zt::acl_of(plain), plain_acl);
    EXPECT_LT(getxattr(plain.c_str(), "system.posix_acl_access", nullptr, 0), 0);
    char value[8] = {};
    EXPECT_EQ(getxattr(file.c_str(), "user.zt", value, sizeof value), 3);
    EXPECT_EQ(std::string(value, 3), std::string("v\0w", 3));
}

TEST_F(EditTransaction, SymbolicLinkIsReplacedAndItsTargetKept)
{
    const std::string target = dir / "target", hard = dir / "hard";
    zt::write_file(target, FIVE, 0640);
    ASSERT_EQ(symlink(target.c_str(), file.c_str()), 0);
    ASSERT_EQ(link(target.c_str(), hard.c_str()), 0);
    edit_ptr ef(open_file(file.c_str()));
    ASSERT_TRUE(ef);
    EXPECT_EQ(ef->mode & 07777, 0640u);
    ASSERT_EQ(add_line(ef.get(), "six\n"), 1);
    ASSERT_EQ(commit_file(ef.get()), 1);
    ef.reset();
    EXPECT_EQ(zt::file_mode(file), 0640u);  // by lstat: no longer a link
    EXPECT_EQ(zt::read_file(file), FIVE + "six\n");
    EXPECT_EQ(zt::read_file(target), FIVE);
    EXPECT_EQ(zt::read_file(hard), FIVE);
}

TEST_F(EditTransaction, FailedRenameKeepsTheOldFileAndReleaseRemovesTheCopy)
{
    edit_ptr ef = open(FIVE);
    ASSERT_TRUE(ef);
    ASSERT_EQ(add_line(ef.get(), "six\n"), 1);
    // Something that a rename cannot replace now stands at the name.
    ASSERT_EQ(unlink(file.c_str()), 0);
    ASSERT_EQ(mkdir(file.c_str(), 0755), 0);
    zt::write_file(file + "/inside", "x\n");
    errno = 0;
    EXPECT_EQ(commit_file(ef.get()), 0);
    EXPECT_TRUE(errno == EISDIR || errno == ENOTEMPTY || errno == EEXIST) << errno;
    EXPECT_TRUE(zt::exists(tmp));
    ef.reset();
    EXPECT_FALSE(zt::exists(tmp));
    EXPECT_EQ(zt::read_file(file + "/inside"), "x\n");
}

TEST_F(EditTransaction, NullArgumentsAndRevertDoNothing)
{
    free_file(nullptr);
    revert_file(nullptr);
    EXPECT_EQ(commit_file(nullptr), 0);
    EXPECT_EQ(open_file(nullptr), nullptr);
    EXPECT_EQ(add_line(nullptr, "x\n"), 0);
    EXPECT_EQ(copy_until(nullptr, 1, nullptr), -1);
    char *name = reinterpret_cast<char *>(1);
    EXPECT_EQ(mktemp_file(nullptr, &name), nullptr);
    EXPECT_EQ(name, reinterpret_cast<char *>(1));
    edit_ptr ef = open(FIVE);
    ASSERT_TRUE(ef);
    revert_file(ef.get());
    EXPECT_TRUE(zt::exists(tmp));
    EXPECT_EQ(add_line(ef.get(), nullptr), 0);
    EXPECT_EQ(ef->is_dirty, 0);
    ASSERT_EQ(add_line(ef.get(), "six\n"), 1);
    revert_file(ef.get());
    ASSERT_EQ(commit_file(ef.get()), 1);
    revert_file(ef.get());
    EXPECT_EQ(zt::read_file(file), FIVE + "six\n");
}

// --- Line operations ---------------------------------------------------------

using EditLines = Edit;

TEST_F(EditLines, EachOperationGivesItsResult)
{
    check({
        {"add", FIVE, add("six\n"), 1, FIVE + "six\n"},
        {"add to empty", "", add("only\n"), 1, "only\n"},
        {"add after a last line without newline", "last", add("more"), 1, "last\nmore"},
        {"text that begins with a newline", "last", add("\nmore\n"), 1, "last\nmore\n"},
        {"empty text", "last", add(""), 1, "last"},
        {"two adds", FIVE,
         [](edit_file *ef) { return add_line(ef, "a\n") + add_line(ef, "b\n") - 1; }, 1,
         FIVE + "a\nb\n"},
        {"modify first match", FIVE, modify(NO_LINE, "t"), 1, "one\nNEW\nthree\nfour\nfive\n"},
        {"number before match", FIVE, modify(4, "o"), 1, "NEW\ntwo\nthree\nfour\nfive\n"},
        {"number or match", FIVE, modify(2, "five"), 1, "one\nNEW\nthree\nfour\nfive\n"},
        {"empty match", FIVE, modify(NO_LINE, ""), 1, "NEW\ntwo\nthree\nfour\nfive\n"},
        {"newline ends the line", FIVE, modify(NO_LINE, "e\nf"), 1, FIVE + "NEW\n"},
        {"match with newline", FIVE, modify(NO_LINE, "ee\n"), 1, "one\ntwo\nNEW\nfour\nfive\n"},
        {"no match appends", FIVE, modify(NO_LINE, "absent"), 1, FIVE + "NEW\n"},
        {"line 0 appends", FIVE, modify(0, nullptr), 1, FIVE + "NEW\n"},
        {"text without newline", FIVE, modify(1, nullptr, "1:"), 1, "1:\ntwo\nthree\nfour\nfive\n"},
        {"text without newline before an empty line", "a\n\nc\n", modify(1, nullptr, "A"), 1,
         "A\n\nc\n"},
        {"text without newline at the end", FIVE, modify(5, nullptr, "5:"), 1,
         "one\ntwo\nthree\nfour\n5:"},
        {"no match after a last line without newline", "a\nb", modify(NO_LINE, "x", "c"), 1,
         "a\nb\nc"},
        {"modify empty file", "", modify(NO_LINE, "x"), 0, ""},
        {"rm number", FIVE, rm(3), 1, "one\ntwo\nfour\nfive\n"},
        {"rm first match", FIVE, rm(NO_LINE, "f"), 1, "one\ntwo\nthree\nfive\n"},
        {"rm empty match", FIVE, rm(NO_LINE, ""), 1, "two\nthree\nfour\nfive\n"},
        {"rm past the end", FIVE, rm(9), 1, FIVE},
        {"rm line 0", FIVE, rm(0), 1, FIVE},
        {"rm nothing selected", FIVE, rm(NO_LINE), 1, FIVE},
        {"rm in empty file", "", rm(1), 1, ""},
        {"rm_lines", FIVE, rms({2, 4}), 5, "one\nthree\nfive\n"},
        {"rm_lines reads up to the line after the last listed", FIVE, rms({2}), 3,
         "one\nthree\nfour\nfive\n"},
        {"rm_lines any order", FIVE, rms({5, 0, 4, 1, 4}), 5, "two\nthree\n"},
        {"rm_lines past the end", FIVE, rms({6, 100, 4000000000u}), 5, FIVE},
        {"rm_lines empty list", FIVE, rms({}), 1, FIVE},
        {"rm_lines null list", FIVE, [](edit_file *ef) { return rm_lines(ef, nullptr, 3); }, 1,
         FIVE},
        {"rm_lines last without newline", "a\nb", rms({2}), 2, "a\n"},
        {"rm_lines empty file", "", rms({1}), 0, ""},
        {"keyed edit", TABLE, keyed("FROM:b", {"x"}), 2,
         "From:a\tREJECT\n# From:b\nx\tOK\n\n c\tOK\nc\tOK"},
        {"keyed edit keeping its key", TABLE, keyed("From:B", {"From:b"}, "From:b\tOK\n"), 2,
         "From:a\tREJECT\n# From:b\nFrom:b\tOK\n\n c\tOK\nc\tOK"},
        {"keyed add", TABLE, keyed(nullptr, {"From:", "d", "OK"}), 1, TABLE + "\nx\tOK\n"},
        {"key taken", TABLE, keyed(nullptr, {"d", "C"}), -2, TABLE},
        {"key taken after the edit", TABLE, keyed("From:a", {"c"}), -2, TABLE},
        {"removal by key", TABLE, keyed("c", {}, ""), 2, "From:a\tREJECT\n# From:b\nfrom:B\tRELAY\n\n c\tOK\n"},
        {"no line has the old key", TABLE, keyed("c\tOK", {}, ""), 1, TABLE},
        {"texts that are no keys", TABLE, keyed("# From:b", {"", " c", "From:a REJECT"}), 1,
         TABLE + "\nx\tOK\n"},
        {"keyed edit of an empty file", "", keyed("", {}), 0, ""},
        {"keyed add to an empty file", "", keyed(nullptr, {"x"}), 1, "x\tOK\n"},
    });
}

// Whatever the first operation gave, even a failed one, nothing after it may
// replace or remove.
TEST_F(EditLines, OnlyTheFirstOperationMayReplaceOrRemove)
{
    const struct {
        std::string content;
        Op op;
        int rc;
    } firsts[] = {{FIVE, add("six\n"), 1},
                  {FIVE, modify(1, nullptr, "ONE\n"), 1},
                  {FIVE, rm(1), 1},
                  {FIVE, rms({1}), 2},
                  {"", modify(NO_LINE, "x"), 0}};
    for (const auto &first : firsts) {
        SCOPED_TRACE(&first - firsts);
        edit_ptr ef = open(first.content);
        ASSERT_TRUE(ef);
        ASSERT_EQ(first.op(ef.get()), first.rc);
        EXPECT_EQ(ef->is_dirty, 1);
        std::fflush(ef->fp_tmp);
        const std::string after_first = zt::read_file(tmp);
        EXPECT_TRUE(first.rc != 0 || after_first.empty()) << after_first;
        EXPECT_EQ(modify(2, nullptr, "X\n")(ef.get()), 0);
        EXPECT_EQ(rm(2)(ef.get()), 0);
        EXPECT_EQ(rms({1})(ef.get()), 0);
        std::fflush(ef->fp_tmp);
        EXPECT_EQ(zt::read_file(tmp), after_first);
        // add_line may always follow, after everything written so far.
        ASSERT_EQ(add_line(ef.get(), "end\n"), 1);
        ASSERT_EQ(commit_file(ef.get()), 1);
        EXPECT_EQ(zt::read_file(file), after_first + "end\n");
    }
}

TEST_F(EditLines, CopyUntilCountsTheLinesItReadAndInLinesTheFirstCount)
{
    edit_ptr ef = open(FIVE);
    ASSERT_TRUE(ef);
    EXPECT_EQ(copy_until(ef.get(), 2, nullptr), 2);
    EXPECT_EQ(copy_until(ef.get(), NO_LINE, "four"), 2);
    EXPECT_EQ(copy_until(ef.get(), NO_LINE, nullptr), 1);
    EXPECT_EQ(copy_until(ef.get(), NO_LINE, nullptr), 0);
    std::fflush(ef->fp_tmp);
    EXPECT_EQ(zt::read_file(tmp), "one\nthree\nfive\n");
    const unsigned int list[] = {7, 3, 9};
    EXPECT_EQ(in_lines(3, list, 3), 1);
    EXPECT_EQ(in_lines(9, list, 2), 0);
    EXPECT_EQ(in_lines(4, list, 3), 0);
    EXPECT_EQ(in_lines(7, list, 0), 0);
    EXPECT_EQ(in_lines(7, nullptr, 3), 0);
}

TEST_F(EditLines, ReadErrorFailsTheOperation)
{
    // Reading a directory fails: the copy must not pass for the whole file.
    const std::string sub = dir / "sub";
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    edit_ptr ef(open_file(sub.c_str()));
    if (!ef)
        GTEST_SKIP() << "this system does not open a directory as a stream";
    errno = 0;
    EXPECT_EQ(add_line(ef.get(), "x\n"), 0);
    EXPECT_EQ(errno, EISDIR);
    // Even a caller that ignores the failure cannot commit the short copy.
    EXPECT_EQ(commit_file(ef.get()), 0);
    EXPECT_EQ(errno, EISDIR);
    ef.reset();
    EXPECT_FALSE(zt::exists(sub + ".tmp"));
}

// Text lines are numbered by pieces of 499 bytes, but selected and copied whole.
TEST_F(EditLines, LongLinesAreNumberedByPiecesButTakenWhole)
{
    const std::string LONG = zt::repeat('x', 600) + "\n";  // lines 1 and 2
    const std::string text = LONG + "abc\n";
    const std::string edge = zt::repeat('y', 499) + "\n";  // two numbers
    const std::string needle = zt::repeat('a', 496) + "needle" + zt::repeat('b', 300) + "\n";
    const std::string big = LONG + zt::repeat('q', 3 * 1024 * 1024) + "\n" +
                            std::string("a\0b\n\0\n", 6) + zt::repeat('r', 1000);
    const int big_lines = 2 + (3 * 1024 * 1024 + 1 + 498) / 499 + 2 + 3;
    std::string table;
    for (int i = 0; table.size() < 1200 * 1024; i++)
        table += "From:sender" + std::to_string(i) + "@example.org\tREJECT\n";
    const std::string last = table.substr(table.rfind('\n', table.size() - 2) + 1);
    const std::string key = last.substr(0, last.find('\t'));
    const size_t second = table.find('\n') + 1;
    check({
        {"line after a long one", text, rms({3}), 3, LONG},
        {"second piece", text, rms({2}), 3, "abc\n"},
        {"first piece", text, rms({1}), 3, "abc\n"},
        {"rm_line second piece", text, rm(2), 1, "abc\n"},
        {"modify second piece", text, modify(2, nullptr), 1, "NEW\nabc\n"},
        {"499 and a newline", edge + "z\n", rms({3}), 3, edge},
        {"498 and a newline", zt::repeat('y', 498) + "\nz\n", rms({2}), 2,
         zt::repeat('y', 498) + "\n"},
        {"match across byte 499", "first\n" + needle + "last\n", modify(NO_LINE, "needle"), 1,
         "first\nNEW\nlast\n"},
        {"rm match across byte 499", needle + "needle\n", rm(NO_LINE, "needle"), 1, "needle\n"},
        {"copy of any line", big, add("\n+\n"), 1, big + "\n+\n"},
        {"count of any line", big, rms({4000000}), big_lines, big},
        {"match past a NUL", std::string("a\0b\n\0\n", 6), rm(NO_LINE, "b"), 1,
         std::string("\0\n", 2)},
        {"key of a long line", LONG + "abc\n", keyed(nullptr, {LONG.substr(0, 600)}), -2,
         LONG + "abc\n"},
        {"the rest of a table larger than the buffer", table, rms({2}), 3,
         table.substr(0, second) + table.substr(table.find('\n', second) + 1)},
        {"keyed edit far into a table", table, keyed(key.c_str(), {key}, key + "\tOK\n"), 2,
         table.substr(0, table.size() - last.size()) + key + "\tOK\n"},
        {"key taken far into a table", table, keyed(nullptr, {key}), -2, table},
    });
}

// --- Write failures -----------------------------------------------------------

// A small file's change waits in the stream's buffer until the commit; a
// large one's copy meets the full disk during the line operation.
TEST(EditFullDisk, FailedWritesKeepTheFileAndLeaveNoTemporaryFile)
{
    ZT_REQUIRE_ROOT("mounting a small tmpfs");
    zt::TempDir dir;
    const std::string mnt = dir / "fs";
    ASSERT_EQ(mkdir(mnt.c_str(), 0755), 0);
    if (mount("zt", mnt.c_str(), "tmpfs", 0, "size=1m,mode=0755") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
    const struct Unmount {
        const std::string &at;
        ~Unmount() { EXPECT_EQ(umount(at.c_str()), 0) << std::strerror(errno); }
    } unmount{mnt};
    const std::string small = FIVE + zt::repeat('z', 2000) + "\n";
    std::string large;
    while (large.size() < 600 * 1024)
        large += "Connect:192.0.2." + std::to_string(large.size() % 250) + "\tREJECT\n";
    zt::write_file(mnt + "/small", small, 0644);
    zt::write_file(mnt + "/large", large, 0644);
    const int fd = ::open((mnt + "/filler").c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    const std::string block(4096, 'f');
    while (write(fd, block.data(), block.size()) > 0) {
    }
    ASSERT_EQ(errno, ENOSPC);
    close(fd);

    const struct {
        const char *name;
        const std::string &text;
        Op op;
    } cases[] = {{"small", small, add("six\n")},
                 {"large", large, add("six\n")},
                 {"large", large, modify(3, nullptr, "x\n")},
                 {"large", large, rms({2})}};
    for (const auto &c : cases) {
        SCOPED_TRACE(&c - cases);
        const std::string file = mnt + "/" + c.name;
        edit_ptr ef(open_file(file.c_str()));
        ASSERT_TRUE(ef) << std::strerror(errno);
        errno = 0;
        const int rc = c.op(ef.get());
        if (&c == cases) {
            EXPECT_EQ(rc, 1);
        } else {
            EXPECT_LE(rc, 0);
            EXPECT_EQ(errno, ENOSPC);
        }
        EXPECT_EQ(commit_file(ef.get()), 0);
        EXPECT_EQ(errno, ENOSPC);
        ef.reset();
        EXPECT_EQ(zt::read_file(file), c.text);
        EXPECT_EQ(zt::file_mode(file), 0644u);
        EXPECT_EQ(zt::list_dir(mnt), (names_t{"filler", "large", "small"}));
    }
}

// --- Block sharing ---------------------------------------------------------

// Where the file system shares blocks, an append (one that reads every key
// too) or an edit near the end copies next to nothing of the file, yet
// every edit gives the bytes of a plain copy, and the old file keeps its own
// until the rename and after it.
TEST(EditReflink, SharesBlocksAndGivesTheBytesOfAPlainCopy)
{
    ZT_REQUIRE_ROOT("making an XFS image on a loop device");
    const std::string mkfs = "/usr/sbin/mkfs.xfs", losetup = "/usr/sbin/losetup";
    if (access(mkfs.c_str(), X_OK) != 0 || access(losetup.c_str(), X_OK) != 0)
        GTEST_SKIP() << "needs mkfs.xfs (Debian package xfsprogs) and losetup";
    zt::TempDir dir;
    const std::string image = dir / "xfs.img", mnt = dir / "xfs";
    zt::write_file(image, "");
    ASSERT_EQ(truncate(image.c_str(), off_t{300} << 20), 0);
    const zt::Result made = zt::run(mkfs, {"-q", "-m", "reflink=1", image});
    if (made.status != 0)
        GTEST_SKIP() << "mkfs.xfs refuses: " << made.err;
    const zt::Result loop = zt::run(losetup, {"-f", "--show", image});
    if (loop.status != 0)
        GTEST_SKIP() << "no loop device: " << loop.err;
    const struct Detach {
        const std::string dev, &losetup;
        ~Detach() { EXPECT_EQ(zt::run(losetup, {"-d", dev}).status, 0) << dev; }
    } detach{zt::lines(loop.out).at(0), losetup};
    ASSERT_EQ(mkdir(mnt.c_str(), 0755), 0);
    if (mount(detach.dev.c_str(), mnt.c_str(), "xfs", 0, nullptr) != 0)
        GTEST_SKIP() << "cannot mount XFS here: " << std::strerror(errno);
    const struct Unmount {
        const std::string &at;
        ~Unmount() { EXPECT_EQ(umount(at.c_str()), 0) << std::strerror(errno); }
    } unmount{mnt};

    std::string content;
    while (content.size() < (8u << 20))
        content += "From:sender" + std::to_string(content.size()) + "@bulk.example.org\tREJECT\n";
    const std::string entry = "Connect:192.0.2.1\tRELAY\n";
    const auto lines = static_cast<unsigned long>(std::count(content.begin(), content.end(), '\n'));
    const struct {
        Op op;
        bool shares;
    } edits[] = {{add(entry), true},
                 {keyed(nullptr, {"Connect:192.0.2.1"}, entry), true},
                 {modify(lines - 50, nullptr), true},
                 {rms({2, 5000}), false}};
    for (const auto &e : edits) {
        std::string plain;
        for (const std::string &file : {dir / "table", mnt + "/table"}) {
            SCOPED_TRACE(file);
            zt::write_file(file, content);
            const int old = ::open(file.c_str(), O_RDONLY);
            ASSERT_GE(old, 0);
            sync();
            struct statvfs before, after;
            ASSERT_EQ(statvfs(file.c_str(), &before), 0);
            edit_ptr ef(open_file(file.c_str()));
            ASSERT_TRUE(ef);
            ASSERT_GT(e.op(ef.get()), 0);
            EXPECT_TRUE(zt::read_file(file) == content);
            ASSERT_EQ(commit_file(ef.get()), 1);
            ef.reset();
            EXPECT_TRUE(zt::read_all(old) == content);
            ASSERT_EQ(statvfs(file.c_str(), &after), 0);
            const std::string now = zt::read_file(file);
            if (plain.empty()) {
                plain = now;
                continue;
            }
            EXPECT_TRUE(now == plain);
            if (e.shares) {
                // The old file, still open, and the new one hold one copy.
                const long long grew = (static_cast<long long>(before.f_bfree) -
                                        static_cast<long long>(after.f_bfree)) *
                                       static_cast<long long>(before.f_frsize);
                EXPECT_LT(grew, static_cast<long long>(content.size() / 8));
            }
        }
    }
}

// --- The system calls of a commit --------------------------------------------

// The commit of a real add, under strace.
class EditCommitCalls : public zt::TreeTest {};

TEST_F(EditCommitCalls, SyncOwnerAndModeByDescriptorBeforeRename)
{
    if (!zt::strace_works())
        GTEST_SKIP() << "strace cannot trace here";
    zt::TempDir dir;
    const std::string file = zt::InstallTree::mail("access"), log = dir / "trace";
    zt::write_file(file, FIVE, 04640);
    const zt::Result r = zt::traced(
        {"-y", "-o", log, "-e",
         "trace=fsync,fdatasync,fchown,fchmod,rename,renameat,renameat2,chmod,chown,lchown,"
         "fchmodat,fchownat"},
        "permitset", {"-a", "-h", "six\tOK\n"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(zt::read_file(file), FIVE + "six\tOK\n");
    EXPECT_EQ(zt::file_mode(file), 04640u);

    const std::string trace = zt::read_file(log);
    std::vector<std::string> calls;
    std::istringstream in(trace);
    for (std::string l; std::getline(in, l);)
        calls.push_back(l);
    auto find = [&](const std::string &call, const std::string &arg) {
        for (size_t i = 0; i < calls.size(); i++)
            if (calls[i].rfind(call + "(", 0) == 0 && calls[i].find(arg) != std::string::npos)
                return static_cast<long>(i);
        return -1L;
    };
    const std::string tmp_fd = "<" + file + ".tmp>";
    const long fsync_at = find("fsync", tmp_fd), fchmod_at = find("fchmod", tmp_fd);
    const long rename_at = std::max(find("rename", file), find("renameat2", file));
    ASSERT_GE(rename_at, 0) << trace;
    EXPECT_GE(fsync_at, 0) << trace;
    EXPECT_LT(fsync_at, rename_at);
    ASSERT_GE(fchmod_at, 0) << trace;
    EXPECT_LT(fchmod_at, rename_at);
    EXPECT_NE(calls[static_cast<size_t>(fchmod_at)].find("04640"), std::string::npos);
    if (getuid() == 0) {
        const long fchown_at = find("fchown", tmp_fd);
        EXPECT_GE(fchown_at, 0) << trace;
        EXPECT_LT(fchown_at, fchmod_at);
    } else {
        EXPECT_EQ(find("fchown", ""), -1);
    }
    // The directory is synced after the rename; nothing goes by name.
    EXPECT_GT(find("fsync", "<" + zt::InstallTree::path("sendmail/etc/mail") + ">"), rename_at)
        << trace;
    for (const char *by_name : {"chmod", "chown", "lchown", "fchmodat", "fchownat"})
        EXPECT_EQ(find(by_name, ""), -1) << by_name << "\n" << trace;
}

// A commit that cannot give the new file the old one's ACL does not happen.
TEST_F(EditCommitCalls, FailedAttributeCopyFailsTheCommit)
{
    const std::string file = zt::InstallTree::mail("access");
    zt::write_file(file, FIVE, 0640);
    if (!zt::strace_works() || !zt::set_acl(file, "g:" + std::to_string(zt::nobody_gid()) + ":r"))
        GTEST_SKIP() << "needs strace, setfacl (Debian package acl) and ACLs";
    const std::string acl = zt::acl_of(file);
    const zt::Result r = zt::traced({"-qq", "-o", "/dev/null", "-e", "inject=fsetxattr:error=ENOSPC"},
                                    "permitset", {"-a", "-h", "six\tOK\n"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "Failed to commit the changes to the file.: No space left on device\n"
                     "Failed to add the access host.\n");
    EXPECT_EQ(zt::read_file(file), FIVE);
    EXPECT_EQ(zt::acl_of(file), acl);
    EXPECT_FALSE(zt::exists(file + ".tmp"));
}

// --- Simultaneous transactions ---------------------------------------------

using EditConcurrency = Edit;

TEST_F(EditConcurrency, SimultaneousAddsAllLandExactlyOnce)
{
    constexpr int procs = 16, adds = 12;
    zt::write_file(file, FIVE);
    std::vector<pid_t> kids;
    std::vector<std::string> want;
    for (int p = 0; p < procs; p++) {
        for (int a = 0; a < adds; a++)
            want.push_back("proc " + std::to_string(p) + " add " + std::to_string(a));
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid != 0) {
            kids.push_back(pid);
            continue;
        }
        for (int a = 0; a < adds; a++) {
            const std::string text = want[static_cast<size_t>(p * adds + a)] + "\n";
            int tries = 0;
            edit_ptr ef;
            // A busy or replaced file may be tried again; any other failure is fatal.
            while (!(ef = edit_ptr(open_file(file.c_str())))) {
                if ((errno != EEXIST && errno != EAGAIN) || ++tries == 20000)
                    _exit(3);
                usleep(200);
            }
            if (add_line(ef.get(), text.c_str()) != 1 || commit_file(ef.get()) != 1)
                _exit(4);
        }
        _exit(0);
    }
    for (pid_t pid : kids)
        EXPECT_EQ(zt::wait_exit(pid), 0);
    const std::string after = zt::read_file(file);
    ASSERT_EQ(after.compare(0, FIVE.size(), FIVE), 0);
    std::sort(want.begin(), want.end());
    EXPECT_EQ(zt::sorted_lines(after.substr(FIVE.size())), want);
    EXPECT_EQ(zt::list_dir(dir.path()), names_t{"table"});
}

}  // namespace
