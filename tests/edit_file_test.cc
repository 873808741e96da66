// The transactional line editor, on real files in a temporary directory.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "edit_file.h"
#include "support.h"

namespace {

constexpr unsigned long NO_LINE = static_cast<unsigned long>(-1);

using lines_t = std::vector<unsigned int>;

const std::string FIVE = "one\ntwo\nthree\nfour\nfive\n";
// A text line of 600 characters with its newline: lines 1 and 2.
const std::string LONG = zt::repeat('x', 600) + "\n";

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

    // The file after one whole transaction: open, op (its result in *rc),
    // commit if op succeeded, release.
    template <class Op>
    std::string edited(const std::string &content, Op op, int *rc)
    {
        edit_ptr ef = open(content);
        if (!ef) {
            ADD_FAILURE() << "open_file: " << std::strerror(errno);
            return "";
        }
        *rc = op(ef.get());
        if (*rc > 0) {
            EXPECT_EQ(commit_file(ef.get()), 1);
        }
        ef.reset();
        EXPECT_FALSE(zt::exists(tmp));
        return zt::read_file(file);
    }
};

// --- The transaction ----------------------------------------------------

using EditTransaction = Edit;

TEST_F(EditTransaction, OpenCreatesAnEmptyPrivateTemporaryFile)
{
    edit_ptr ef = open(FIVE);
    ASSERT_TRUE(ef);
    EXPECT_STREQ(ef->fname, file.c_str());
    EXPECT_STREQ(ef->fname_tmp, tmp.c_str());
    EXPECT_EQ(ef->is_dirty, 0);
    EXPECT_EQ(ef->mode & 07777, 0644u);
    EXPECT_EQ(static_cast<uid_t>(ef->uid), geteuid());
    EXPECT_EQ(zt::read_file(tmp), "");
    EXPECT_EQ(zt::file_mode(tmp), 0600u);
}

TEST_F(EditTransaction, ReleaseWithoutCommitChangesNothing)
{
    edit_ptr ef = open(FIVE, 0640);
    ASSERT_TRUE(ef);
    ASSERT_EQ(add_line(ef.get(), "six\n"), 1);
    ef.reset();
    EXPECT_EQ(zt::read_file(file), FIVE);
    EXPECT_EQ(zt::file_mode(file), 0640u);
    EXPECT_EQ(zt::list_dir(dir.path()), std::vector<std::string>{"table"});
}

TEST_F(EditTransaction, UnchangedCommitGivesZeroAndRemovesOnlyTheTemporaryFile)
{
    edit_ptr ef = open(FIVE, 0640);
    ASSERT_TRUE(ef);
    struct stat before;
    ASSERT_EQ(stat(file.c_str(), &before), 0);
    EXPECT_EQ(commit_file(ef.get()), 0);
    EXPECT_FALSE(zt::exists(tmp));
    // A transaction that starts now must not lose its temporary file to the
    // release of the old one.
    zt::write_file(tmp, "next\n", 0600);
    ef.reset();
    EXPECT_EQ(zt::read_file(tmp), "next\n");
    struct stat after;
    ASSERT_EQ(stat(file.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(zt::read_file(file), FIVE);
}

TEST_F(EditTransaction, ReleaseAfterCommitRemovesNothing)
{
    edit_ptr ef = open(FIVE);
    ASSERT_TRUE(ef);
    ASSERT_EQ(add_line(ef.get(), "six\n"), 1);
    ASSERT_EQ(commit_file(ef.get()), 1);
    EXPECT_EQ(ef->fp, nullptr);
    EXPECT_EQ(ef->fp_tmp, nullptr);
    zt::write_file(tmp, "next\n", 0600);
    ef.reset();
    EXPECT_EQ(zt::read_file(tmp), "next\n");
    EXPECT_EQ(zt::read_file(file), FIVE + "six\n");
}

TEST_F(EditTransaction, LeftoverTemporaryFileBlocksAndStaysUntouched)
{
    zt::write_file(tmp, "left over\n", 0644);
    zt::write_file(file, FIVE);
    errno = 0;
    EXPECT_EQ(open_file(file.c_str()), nullptr);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(zt::read_file(tmp), "left over\n");
    EXPECT_EQ(zt::file_mode(tmp), 0644u);
    EXPECT_EQ(zt::read_file(file), FIVE);
    // A dangling symbolic link there is not followed either.
    ASSERT_EQ(unlink(tmp.c_str()), 0);
    ASSERT_EQ(symlink((dir / "elsewhere").c_str(), tmp.c_str()), 0);
    EXPECT_EQ(open_file(file.c_str()), nullptr);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_FALSE(zt::exists(dir / "elsewhere"));
}

TEST_F(EditTransaction, MissingOrUntrustedFileGivesNullAndNoTemporaryFile)
{
    errno = 0;
    EXPECT_EQ(open_file((dir / "missing").c_str()), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(open_file(nullptr), nullptr);

    zt::write_file(file, FIVE, 0664);
    testing::internal::CaptureStderr();
    EXPECT_EQ(open_file(file.c_str()), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Permissions on " + file + " are not correct.\n");
    EXPECT_EQ(zt::list_dir(dir.path()), std::vector<std::string>{"table"});
}

TEST_F(EditTransaction, MktempFileNamesAndRefuses)
{
    char *name = reinterpret_cast<char *>(1);
    EXPECT_EQ(mktemp_file(nullptr, &name), nullptr);
    EXPECT_EQ(name, reinterpret_cast<char *>(1));

    FILE *fp = mktemp_file(file.c_str(), &name);
    ASSERT_NE(fp, nullptr);
    EXPECT_EQ(std::string(name), tmp);
    std::fclose(fp);
    std::free(name);

    errno = 0;
    EXPECT_EQ(mktemp_file(file.c_str(), &name), nullptr);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(name, nullptr);
    EXPECT_TRUE(zt::exists(tmp));
}

TEST_F(EditTransaction, CommitKeepsTheModeExactly)
{
    for (mode_t mode : {0644u, 0600u, 0400u, 06644u, 04755u, 01644u}) {
        SCOPED_TRACE(mode);
        zt::write_file(file, FIVE, mode);
        edit_ptr ef(open_file(file.c_str()));
        ASSERT_TRUE(ef);
        ASSERT_EQ(rm_line(ef.get(), 1, nullptr), 1);
        ASSERT_EQ(commit_file(ef.get()), 1);
        ef.reset();
        EXPECT_EQ(zt::file_mode(file), mode);
        EXPECT_EQ(zt::read_file(file), "two\nthree\nfour\nfive\n");
    }
}

TEST_F(EditTransaction, RootCommitKeepsOwnerAndGroup)
{
    ZT_REQUIRE_ROOT("only root may give the file back its group");
    ASSERT_EQ(getuid(), 0u);
    for (mode_t mode : {06644u, 04755u, 02640u}) {
        SCOPED_TRACE(mode);
        zt::write_file(file, FIVE, 0644);
        ASSERT_EQ(chown(file.c_str(), 0, zt::nobody_gid()), 0);
        ASSERT_EQ(chmod(file.c_str(), mode), 0);
        edit_ptr ef(open_file(file.c_str()));
        ASSERT_TRUE(ef);
        ASSERT_EQ(add_line(ef.get(), "six\n"), 1);
        ASSERT_EQ(commit_file(ef.get()), 1);
        ef.reset();
        EXPECT_EQ(zt::file_uid(file), 0u);
        EXPECT_EQ(zt::file_gid(file), zt::nobody_gid());
        EXPECT_EQ(zt::file_mode(file), mode);
    }
}

TEST_F(EditTransaction, SymbolicLinkIsReplacedAndItsTargetKept)
{
    const std::string target = dir / "target";
    zt::write_file(target, FIVE, 0640);
    ASSERT_EQ(symlink(target.c_str(), file.c_str()), 0);
    const std::string hard = dir / "hard";
    ASSERT_EQ(link(target.c_str(), hard.c_str()), 0);
    edit_ptr ef(open_file(file.c_str()));
    ASSERT_TRUE(ef);
    EXPECT_EQ(ef->mode & 07777, 0640u);
    ASSERT_EQ(add_line(ef.get(), "six\n"), 1);
    ASSERT_EQ(commit_file(ef.get()), 1);
    ef.reset();
    struct stat st;
    ASSERT_EQ(lstat(file.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0640u);
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

TEST_F(EditTransaction, NullRecordAndRevertDoNothing)
{
    free_file(nullptr);
    EXPECT_EQ(commit_file(nullptr), 0);
    revert_file(nullptr);
    edit_ptr ef = open(FIVE);
    ASSERT_TRUE(ef);
    revert_file(ef.get());
    EXPECT_TRUE(zt::exists(tmp));
    ASSERT_EQ(add_line(ef.get(), "six\n"), 1);
    revert_file(ef.get());
    ASSERT_EQ(commit_file(ef.get()), 1);
    revert_file(ef.get());
    EXPECT_EQ(zt::read_file(file), FIVE + "six\n");
}

// --- Line operations ---------------------------------------------------------

using EditLines = Edit;

TEST_F(EditLines, AddLineAppends)
{
    int rc = 0;
    auto add = [](const char *text) {
        return [text](edit_file *ef) { return add_line(ef, text); };
    };
    EXPECT_EQ(edited(FIVE, add("six\n"), &rc), FIVE + "six\n");
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(edited("", add("only\n"), &rc), "only\n");
    EXPECT_EQ(rc, 1);
    // No newline is added on either side.
    EXPECT_EQ(edited("last", add("more\n"), &rc), "lastmore\n");
    EXPECT_EQ(edited(FIVE,
                     [](edit_file *ef) { return add_line(ef, "a\n") + add_line(ef, "b\n") - 1; },
                     &rc),
              FIVE + "a\nb\n");
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(add_line(nullptr, "x\n"), 0);
    edit_ptr ef = open(FIVE);
    EXPECT_EQ(add_line(ef.get(), nullptr), 0);
    EXPECT_EQ(ef->is_dirty, 0);
}

TEST_F(EditLines, ModifyLineReplacesTheFirstSelectedLine)
{
    int rc = 0;
    auto modify = [](unsigned long n, const char *match) {
        return [n, match](edit_file *ef) { return modify_line(ef, n, match, "NEW\n"); };
    };
    EXPECT_EQ(edited(FIVE, modify(NO_LINE, "t"), &rc),
              "one\nNEW\nthree\nfour\nfive\n");
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(edited(FIVE, modify(4, "o"), &rc), "NEW\ntwo\nthree\nfour\nfive\n");
    EXPECT_EQ(edited(FIVE, modify(2, "five"), &rc), "one\nNEW\nthree\nfour\nfive\n");
    EXPECT_EQ(edited(FIVE, modify(NO_LINE, ""), &rc), "NEW\ntwo\nthree\nfour\nfive\n");
    // The newline is part of the line.
    EXPECT_EQ(edited(FIVE, modify(NO_LINE, "e\nf"), &rc), FIVE + "NEW\n");
    EXPECT_EQ(edited(FIVE, modify(NO_LINE, "ee\n"), &rc), "one\ntwo\nNEW\nfour\nfive\n");
}

TEST_F(EditLines, ModifyLineThatSelectsNothingAppends)
{
    int rc = 0;
    EXPECT_EQ(edited(FIVE,
                     [](edit_file *ef) { return modify_line(ef, NO_LINE, "absent", "NEW\n"); },
                     &rc),
              FIVE + "NEW\n");
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(edited(FIVE,
                     [](edit_file *ef) { return modify_line(ef, 0, nullptr, "NEW\n"); }, &rc),
              FIVE + "NEW\n");
    EXPECT_EQ(rc, 1);
    // A text without newline joins the line after it.
    EXPECT_EQ(edited(FIVE, [](edit_file *ef) { return modify_line(ef, 1, nullptr, "1:"); },
                     &rc),
              "1:two\nthree\nfour\nfive\n");
}

TEST_F(EditLines, ModifyLineOnAnEmptyFileFails)
{
    edit_ptr ef = open("");
    ASSERT_TRUE(ef);
    EXPECT_EQ(modify_line(ef.get(), NO_LINE, "x", "NEW\n"), 0);
    EXPECT_EQ(ef->is_dirty, 1);
    std::fflush(ef->fp_tmp);
    EXPECT_EQ(zt::read_file(tmp), "");
}

TEST_F(EditLines, RmLineDropsAtMostOneLine)
{
    int rc = 0;
    auto rm = [](unsigned long n, const char *match) {
        return [n, match](edit_file *ef) { return rm_line(ef, n, match); };
    };
    EXPECT_EQ(edited(FIVE, rm(3, nullptr), &rc), "one\ntwo\nfour\nfive\n");
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(edited(FIVE, rm(NO_LINE, "f"), &rc), "one\ntwo\nthree\nfive\n");
    EXPECT_EQ(edited(FIVE, rm(NO_LINE, ""), &rc), "two\nthree\nfour\nfive\n");
    EXPECT_EQ(edited(FIVE, rm(9, nullptr), &rc), FIVE);
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(edited(FIVE, rm(0, nullptr), &rc), FIVE);
    EXPECT_EQ(edited(FIVE, rm(NO_LINE, nullptr), &rc), FIVE);
    EXPECT_EQ(edited("", rm(1, nullptr), &rc), "");
    EXPECT_EQ(rc, 1);
}

TEST_F(EditLines, RmLinesDropsTheListedLines)
{
    int rc = 0;
    auto rm = [](lines_t list) {
        return [list](edit_file *ef) {
            return rm_lines(ef, list.data(), static_cast<unsigned int>(list.size()));
        };
    };
    EXPECT_EQ(edited(FIVE, rm({2, 4}), &rc), "one\nthree\nfive\n");
    EXPECT_EQ(rc, 5);
    EXPECT_EQ(edited(FIVE, rm({5, 0, 4, 1, 4}), &rc), "two\nthree\n");
    EXPECT_EQ(rc, 5);
    EXPECT_EQ(edited(FIVE, rm({6, 100, 4000000000u}), &rc), FIVE);
    EXPECT_EQ(rc, 5);
    EXPECT_EQ(edited(FIVE, rm({}), &rc), FIVE);
    EXPECT_EQ(rc, 5);
    EXPECT_EQ(edited("a\nb", rm({2}), &rc), "a\n");
    EXPECT_EQ(rc, 2);
    EXPECT_EQ(edited("", rm({1}), &rc), "");
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(edited(FIVE, [](edit_file *ef) { return rm_lines(ef, nullptr, 3); }, &rc),
              FIVE);
    EXPECT_EQ(rc, 5);
}

TEST_F(EditLines, OnlyTheFirstOperationMayReplaceOrRemove)
{
    const unsigned int one = 1;
    for (int first = 0; first < 4; first++) {
        SCOPED_TRACE(first);
        edit_ptr ef = open(FIVE);
        ASSERT_TRUE(ef);
        switch (first) {
        case 0: ASSERT_EQ(add_line(ef.get(), "six\n"), 1); break;
        case 1: ASSERT_EQ(modify_line(ef.get(), 1, nullptr, "ONE\n"), 1); break;
        case 2: ASSERT_EQ(rm_line(ef.get(), 1, nullptr), 1); break;
        case 3: ASSERT_EQ(rm_lines(ef.get(), &one, 1), 5); break;
        }
        std::fflush(ef->fp_tmp);
        const std::string after_first = zt::read_file(tmp);
        EXPECT_EQ(modify_line(ef.get(), 2, nullptr, "X\n"), 0);
        EXPECT_EQ(rm_line(ef.get(), 2, nullptr), 0);
        EXPECT_EQ(rm_lines(ef.get(), &one, 1), 0);
        std::fflush(ef->fp_tmp);
        EXPECT_EQ(zt::read_file(tmp), after_first);
        // add_line may always follow, after everything written so far.
        ASSERT_EQ(add_line(ef.get(), "end\n"), 1);
        ASSERT_EQ(commit_file(ef.get()), 1);
        EXPECT_EQ(zt::read_file(file), after_first + "end\n");
    }
}

TEST_F(EditLines, CopyUntilCountsTheLinesItRead)
{
    EXPECT_EQ(copy_until(nullptr, 1, nullptr), -1);
    edit_ptr ef = open(FIVE);
    ASSERT_TRUE(ef);
    EXPECT_EQ(copy_until(ef.get(), 2, nullptr), 2);
    EXPECT_EQ(copy_until(ef.get(), NO_LINE, "four"), 2);
    EXPECT_EQ(copy_until(ef.get(), NO_LINE, nullptr), 1);
    EXPECT_EQ(copy_until(ef.get(), NO_LINE, nullptr), 0);
    std::fflush(ef->fp_tmp);
    EXPECT_EQ(zt::read_file(tmp), "one\nthree\nfive\n");
}

TEST_F(EditLines, InLinesLooksAtTheFirstCountEntries)
{
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

// --- Text lines longer than one piece ----------------------------------------

using EditLongLines = Edit;

TEST_F(EditLongLines, PiecesAreNumberedButLinesSelectedWhole)
{
    const std::string text = LONG + "abc\n";
    int rc = 0;
    auto rm = [](lines_t list) {
        return [list](edit_file *ef) {
            return rm_lines(ef, list.data(), static_cast<unsigned int>(list.size()));
        };
    };
    EXPECT_EQ(edited(text, rm({3}), &rc), LONG);
    EXPECT_EQ(rc, 3);
    EXPECT_EQ(edited(text, rm({2}), &rc), "abc\n");
    EXPECT_EQ(edited(text, rm({1}), &rc), "abc\n");
    EXPECT_EQ(edited(text, [](edit_file *ef) { return rm_line(ef, 2, nullptr); }, &rc),
              "abc\n");
    EXPECT_EQ(edited(text,
                     [](edit_file *ef) { return modify_line(ef, 2, nullptr, "NEW\n"); }, &rc),
              "NEW\nabc\n");
    // 499 characters and a newline take two numbers.
    const std::string edge = zt::repeat('y', 499) + "\n";
    EXPECT_EQ(edited(edge + "z\n", rm({3}), &rc), edge);
    EXPECT_EQ(rc, 3);
    EXPECT_EQ(edited(zt::repeat('y', 498) + "\nz\n", rm({2}), &rc),
              zt::repeat('y', 498) + "\n");
    EXPECT_EQ(rc, 2);
}

TEST_F(EditLongLines, MatchAcrossThePieceBoundaryReplacesTheWholeLine)
{
    const std::string line = zt::repeat('a', 496) + "needle" + zt::repeat('b', 300) + "\n";
    int rc = 0;
    EXPECT_EQ(edited("first\n" + line + "last\n",
                     [](edit_file *ef) { return modify_line(ef, NO_LINE, "needle", "NEW\n"); },
                     &rc),
              "first\nNEW\nlast\n");
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(edited(line + "needle\n",
                     [](edit_file *ef) { return rm_line(ef, NO_LINE, "needle"); }, &rc),
              "needle\n");
}

TEST_F(EditLongLines, CopiesEveryByteOfAnyLine)
{
    std::string big = zt::repeat('q', 3 * 1024 * 1024) + "\n";
    std::string nul("a\0b\n\0\n", 6);
    const std::string text = LONG + big + nul + zt::repeat('r', 1000);
    int rc = 0;
    EXPECT_EQ(edited(text, [](edit_file *ef) { return add_line(ef, "\n+\n"); }, &rc),
              text + "\n+\n");
    const lines_t drop = {4000000};
    EXPECT_EQ(edited(text,
                     [&](edit_file *ef) { return rm_lines(ef, drop.data(), 1); }, &rc),
              text);
    const int expect = 2 + (3 * 1024 * 1024 + 1 + 498) / 499 + 2 + 3;
    EXPECT_EQ(rc, expect);
    // A match is looked for past a NUL byte too.
    EXPECT_EQ(edited(nul, [](edit_file *ef) { return rm_line(ef, NO_LINE, "b"); }, &rc),
              std::string("\0\n", 2));
}

// --- Write failures -----------------------------------------------------------

// A small tmpfs mounted inside a temporary directory, filled to the last block.
class EditFullDisk : public ::testing::Test {
protected:
    zt::TempDir dir;
    const std::string mnt = dir / "fs";
    const std::string file = mnt + "/table";
    bool mounted = false;

    void SetUp() override
    {
        ZT_REQUIRE_ROOT("mounting a small tmpfs");
        ASSERT_EQ(mkdir(mnt.c_str(), 0755), 0);
        if (mount("zt", mnt.c_str(), "tmpfs", 0, "size=1m,mode=0755") != 0)
            GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
        mounted = true;
    }
    void TearDown() override
    {
        if (mounted) {
            EXPECT_EQ(umount(mnt.c_str()), 0) << std::strerror(errno);
        }
    }
    void fill()
    {
        const int fd = ::open((mnt + "/filler").c_str(), O_WRONLY | O_CREAT, 0600);
        ASSERT_GE(fd, 0);
        const std::string block(4096, 'f');
        while (write(fd, block.data(), block.size()) > 0) {
        }
        ASSERT_EQ(errno, ENOSPC);
        close(fd);
    }
};

TEST_F(EditFullDisk, CommitFailsWithEnospcAndKeepsTheFile)
{
    const std::string text = FIVE + zt::repeat('z', 2000) + "\n";
    zt::write_file(file, text, 0644);
    fill();
    edit_ptr ef(open_file(file.c_str()));
    ASSERT_TRUE(ef) << std::strerror(errno);
    ASSERT_EQ(add_line(ef.get(), "six\n"), 1);  // still in the stream's buffer
    errno = 0;
    EXPECT_EQ(commit_file(ef.get()), 0);
    EXPECT_EQ(errno, ENOSPC);
    ef.reset();
    EXPECT_EQ(zt::read_file(file), text);
    EXPECT_EQ(zt::file_mode(file), 0644u);
    EXPECT_EQ(zt::list_dir(mnt), (std::vector<std::string>{"filler", "table"}));
}

TEST_F(EditFullDisk, LineOperationReportsTheFailedWrite)
{
    std::string text;
    while (text.size() < 600 * 1024)
        text += "Connect:192.0.2." + std::to_string(text.size() % 250) + "\tREJECT\n";
    zt::write_file(file, text, 0644);
    fill();
    for (int op = 0; op < 3; op++) {
        SCOPED_TRACE(op);
        edit_ptr ef(open_file(file.c_str()));
        ASSERT_TRUE(ef) << std::strerror(errno);
        const unsigned int two = 2;
        errno = 0;
        const int rc = op == 0   ? add_line(ef.get(), "six\n")
                       : op == 1 ? modify_line(ef.get(), 3, nullptr, "x\n")
                                 : rm_lines(ef.get(), &two, 1);
        EXPECT_LE(rc, 0);
        EXPECT_EQ(errno, ENOSPC);
        EXPECT_EQ(commit_file(ef.get()), 0);
        EXPECT_EQ(errno, ENOSPC);
        ef.reset();
        EXPECT_EQ(zt::read_file(file), text);
        EXPECT_EQ(zt::list_dir(mnt), (std::vector<std::string>{"filler", "table"}));
    }
}

// --- The system calls of a commit --------------------------------------------

// Waits until a tracer is attached to this process.
bool traced()
{
    for (int i = 0; i < 1000; i++) {
        std::ifstream st("/proc/self/status");
        std::string key;
        long pid = 0;
        while (st >> key) {
            if (key == "TracerPid:" && st >> pid && pid != 0)
                return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

TEST(EditCommitCalls, SyncOwnerAndModeByDescriptorBeforeRename)
{
    const std::string strace = "/usr/bin/strace";
    if (access(strace.c_str(), X_OK) != 0)
        GTEST_SKIP() << "strace is not installed";
    zt::TempDir dir;
    const std::string file = dir / "table";
    const std::string log = dir / "trace";
    zt::write_file(file, FIVE, 04640);

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (!traced())
            _exit(2);
        edit_file *ef = open_file(file.c_str());
        const int ok = ef != nullptr && add_line(ef, "six\n") == 1 && commit_file(ef) == 1;
        free_file(ef);
        _exit(ok ? 0 : 1);
    }
    const zt::Result r = zt::run(
        strace, {"-y", "-o", log, "-e",
                 "trace=fsync,fdatasync,fchown,fchmod,rename,renameat,renameat2,chmod,chown,"
                 "lchown,fchmodat,fchownat",
                 "-p", std::to_string(child)});
    int ws = 0;
    ASSERT_EQ(waitpid(child, &ws, 0), child);
    if (WIFEXITED(ws) && WEXITSTATUS(ws) == 2)
        GTEST_SKIP() << "strace could not attach: " << r.err;
    ASSERT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0) << ws;
    EXPECT_EQ(zt::read_file(file), FIVE + "six\n");
    EXPECT_EQ(zt::file_mode(file), 04640u);

    std::vector<std::string> calls;
    std::istringstream in(zt::read_file(log));
    for (std::string l; std::getline(in, l);)
        calls.push_back(l);
    const std::string tmp_fd = "<" + file + ".tmp>";
    auto find = [&](const std::string &call, const std::string &arg) {
        for (size_t i = 0; i < calls.size(); i++)
            if (calls[i].rfind(call + "(", 0) == 0 && calls[i].find(arg) != std::string::npos)
                return static_cast<long>(i);
        return -1L;
    };
    const long fsync_at = find("fsync", tmp_fd);
    const long fchmod_at = find("fchmod", tmp_fd);
    long rename_at = find("rename", file);
    if (rename_at < 0)
        rename_at = find("renameat2", file);
    ASSERT_GE(rename_at, 0) << zt::read_file(log);
    EXPECT_GE(fsync_at, 0) << zt::read_file(log);
    EXPECT_LT(fsync_at, rename_at);
    EXPECT_GE(fchmod_at, 0) << zt::read_file(log);
    EXPECT_LT(fchmod_at, rename_at);
    EXPECT_NE(calls[static_cast<size_t>(fchmod_at)].find("04640"), std::string::npos);
    if (getuid() == 0) {
        const long fchown_at = find("fchown", tmp_fd);
        EXPECT_GE(fchown_at, 0) << zt::read_file(log);
        EXPECT_LT(fchown_at, fchmod_at);
    } else {
        EXPECT_EQ(find("fchown", ""), -1);
    }
    // The directory is synced after the rename; nothing goes by name.
    EXPECT_GT(find("fsync", "<" + dir.path() + ">"), rename_at) << zt::read_file(log);
    for (const char *by_name : {"chmod", "chown", "lchown", "fchmodat", "fchownat"})
        EXPECT_EQ(find(by_name, ""), -1) << by_name << "\n" << zt::read_file(log);
}

// --- Simultaneous transactions ---------------------------------------------

using EditConcurrency = Edit;

TEST_F(EditConcurrency, SimultaneousAddsAllLandExactlyOnce)
{
    constexpr int procs = 16;
    constexpr int adds = 12;
    zt::write_file(file, FIVE);
    std::vector<pid_t> kids;
    for (int p = 0; p < procs; p++) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            for (int a = 0; a < adds; a++) {
                const std::string text =
                    "proc " + std::to_string(p) + " add " + std::to_string(a) + "\n";
                bool done = false;
                for (int tries = 0; !done && tries < 20000; tries++) {
                    edit_file *ef = open_file(file.c_str());
                    if (ef == nullptr) {
                        if (errno != EEXIST && errno != EAGAIN)
                            _exit(3);
                        usleep(200);
                        continue;
                    }
                    done = add_line(ef, text.c_str()) == 1 && commit_file(ef) == 1;
                    free_file(ef);
                    if (!done)
                        _exit(4);
                }
                if (!done)
                    _exit(5);
            }
            _exit(0);
        }
        kids.push_back(pid);
    }
    for (pid_t pid : kids) {
        int ws = 0;
        ASSERT_EQ(waitpid(pid, &ws, 0), pid);
        EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0) << ws;
    }
    const std::string after = zt::read_file(file);
    ASSERT_EQ(after.compare(0, FIVE.size(), FIVE), 0);
    std::istringstream in(after.substr(FIVE.size()));
    std::vector<std::string> got;
    for (std::string l; std::getline(in, l);)
        got.push_back(l);
    std::sort(got.begin(), got.end());
    std::vector<std::string> want;
    for (int p = 0; p < procs; p++)
        for (int a = 0; a < adds; a++)
            want.push_back("proc " + std::to_string(p) + " add " + std::to_string(a));
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got, want);
    EXPECT_EQ(zt::list_dir(dir.path()), std::vector<std::string>{"table"});
}

}  // namespace
