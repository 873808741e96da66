// The table line requests: one transaction per call, exact messages, and the
// target file untouched whenever a request fails.
#include <string>
#include <vector>

#include "smlib.h"
#include "support.h"

namespace {

struct Outcome {
    int rc;
    std::string err;
};

template <typename F>
Outcome capture(F &&request)
{
    testing::internal::CaptureStderr();
    const int rc = request();
    return {rc, testing::internal::GetCapturedStderr()};
}

class Requests : public ::testing::Test {
protected:
    zt::TempDir dir;
    const std::string file = dir / "table";

    Outcome add(const char *text) { return edit(text, nullptr, EM_ADDLINE); }
    Outcome edit(const char *text, const char *match, char mode = EM_EDITLINE)
    {
        return capture([&] { return add_edit_line(file.c_str(), text, match, mode); });
    }
    Outcome remove(const std::vector<unsigned int> &lines)
    {
        return capture([&] {
            static const unsigned int none = 0;
            return remove_lines(file.c_str(), lines.empty() ? &none : lines.data(),
                                static_cast<unsigned int>(lines.size()));
        });
    }
    // Nothing but the file itself is left in the directory.
    void expect_alone() { EXPECT_EQ(zt::list_dir(dir.path()), std::vector<std::string>{"table"}); }
};

const char FIVE[] = "one\ntwo\nthree\nfour\nfive\n";

TEST_F(Requests, AddAppendsTheTextAsGiven)
{
    zt::write_file(file, "");
    EXPECT_EQ(add("a\tRELAY\n").rc, 1);
    EXPECT_EQ(zt::read_file(file), "a\tRELAY\n");
    EXPECT_EQ(add("b\tREJECT\n").rc, 1);
    EXPECT_EQ(zt::read_file(file), "a\tRELAY\nb\tREJECT\n");
    // Without its newline the text is continued by the next add.
    EXPECT_EQ(add("c").rc, 1);
    EXPECT_EQ(add("d\n").rc, 1);
    EXPECT_EQ(zt::read_file(file), "a\tRELAY\nb\tREJECT\ncd\n");
    expect_alone();
}

TEST_F(Requests, EditReplacesOnlyTheFirstLineContainingTheMatch)
{
    zt::write_file(file, "a x\nb key\nc x\nd key\n");
    const Outcome o = edit("new\n", "key");
    EXPECT_EQ(o.rc, 1);
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(zt::read_file(file), "a x\nnew\nc x\nd key\n");
}

TEST_F(Requests, EditMatchesPartOfAWordInAnyColumn)
{
    zt::write_file(file, "mail.example.com\thost1\nexample.com\thost2\nz\tsmtp:example.com\n");
    EXPECT_EQ(edit("example.com\thost3\n", "example.com").rc, 1);
    EXPECT_EQ(zt::read_file(file), "example.com\thost3\nexample.com\thost2\nz\tsmtp:example.com\n");
    zt::write_file(file, "a\tsmtp:relay\nb\thost\n");
    EXPECT_EQ(edit("c\tnew\n", "relay").rc, 1);
    EXPECT_EQ(zt::read_file(file), "c\tnew\nb\thost\n");
}

TEST_F(Requests, EditWithoutAMatchAppends)
{
    zt::write_file(file, "a\nb\n");
    EXPECT_EQ(edit("c\n", "zzz").rc, 1);
    EXPECT_EQ(zt::read_file(file), "a\nb\nc\n");
    expect_alone();
}

TEST_F(Requests, EditAndRemovalOfAnEmptyFileFail)
{
    zt::write_file(file, "", 0640);
    Outcome o = edit("c\n", "a");
    EXPECT_EQ(o.rc, 0);
    EXPECT_EQ(o.err, "Failed to modify the specified line.: No data available\n");
    o = remove({1});
    EXPECT_EQ(o.rc, 0);
    EXPECT_EQ(o.err, "Failed to remove one or more of the specified lines.: No data available\n");
    EXPECT_EQ(zt::read_file(file), "");
    EXPECT_EQ(zt::file_mode(file), 0640u);
    expect_alone();
}

TEST_F(Requests, RefusedModesLeaveTheFileUntouched)
{
    zt::write_file(file, FIVE);
    Outcome o = edit("x\n", nullptr);
    EXPECT_EQ(o.rc, 0);
    EXPECT_EQ(o.err, "Invalid parameter to add_edit_line().\n");
    o = edit("x\n", "one", EM_RMLINE);
    EXPECT_EQ(o.rc, 0);
    EXPECT_EQ(o.err, "Failed to commit the changes to the file.: Invalid argument\n");
    o = edit("x\n", "one", 0);
    EXPECT_EQ(o.rc, 0);
    EXPECT_EQ(zt::read_file(file), FIVE);
    expect_alone();
}

TEST_F(Requests, NullArgumentsAreRefusedSilently)
{
    zt::write_file(file, FIVE);
    EXPECT_EQ(edit(nullptr, "one").rc, 0);
    const unsigned int lines[] = {1};
    Outcome o = capture([] { return add_edit_line(nullptr, "x\n", nullptr, EM_ADDLINE); });
    EXPECT_EQ(o.rc, 0);
    EXPECT_EQ(o.err, "");
    o = capture([&] { return remove_lines(file.c_str(), nullptr, 1); });
    EXPECT_EQ(o.rc, 0);
    EXPECT_EQ(o.err, "");
    o = capture([&] { return remove_lines(nullptr, lines, 1); });
    EXPECT_EQ(o.rc, 0);
    EXPECT_EQ(o.err, "");
    o = capture([] { return add_edit_relay_host(nullptr, "h", nullptr, EM_ADDLINE); });
    EXPECT_EQ(o.rc, 0);
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(zt::read_file(file), FIVE);
    expect_alone();
}

TEST_F(Requests, ABusyOrMissingFileCannotBeOpened)
{
    Outcome o = add("x\n");
    EXPECT_EQ(o.rc, 0);
    EXPECT_EQ(o.err, "Failed to open the file.: No such file or directory\n");
    EXPECT_TRUE(zt::list_dir(dir.path()).empty());

    zt::write_file(file, FIVE);
    zt::write_file(file + ".tmp", "someone else's\n", 0600);
    o = remove({1});
    EXPECT_EQ(o.rc, 0);
    EXPECT_EQ(o.err, "Failed to open the file.: File exists\n");
    o = edit("x\n", "one");
    EXPECT_EQ(o.err, "Failed to open the file.: File exists\n");
    EXPECT_EQ(zt::read_file(file), FIVE);
    EXPECT_EQ(zt::read_file(file + ".tmp"), "someone else's\n");
}

TEST_F(Requests, RemovalDropsEachNamedLineOnce)
{
    zt::write_file(file, FIVE);
    EXPECT_EQ(remove({4, 2, 2}).rc, 1);
    EXPECT_EQ(zt::read_file(file), "one\nthree\nfive\n");
    // Numbers naming no line, and an empty list, rewrite the file unchanged.
    const unsigned int minus_one = static_cast<unsigned int>(-1);
    const Outcome o = remove({0, 9, minus_one});
    EXPECT_EQ(o.rc, 1);
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(remove({}).rc, 1);
    EXPECT_EQ(zt::read_file(file), "one\nthree\nfive\n");
    expect_alone();
}

struct Numbers {
    unsigned int *list;
    unsigned int count;
    std::string err;
};

Numbers numbers(std::vector<std::string> words)
{
    std::vector<char *> argv;
    for (auto &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    Numbers n{nullptr, 12345, ""};
    testing::internal::CaptureStderr();
    n.list = get_line_numbers(static_cast<int>(words.size()), argv.data(), &n.count);
    n.err = testing::internal::GetCapturedStderr();
    return n;
}

std::vector<unsigned int> values(const Numbers &n)
{
    const line_list owned(n.list);
    return owned ? std::vector<unsigned int>(n.list, n.list + n.count)
                 : std::vector<unsigned int>();
}

TEST(LineNumbers, WordsFromTheThirdOnAreNumbers)
{
    Numbers n = numbers({"prog", "-anything", "3", " 4", "+5", "6x", "-1", "2147483647"});
    ASSERT_NE(n.list, nullptr);
    EXPECT_EQ(n.err, "");
    EXPECT_EQ(values(n), (std::vector<unsigned int>{3, 4, 5, 6, 4294967295u, 2147483647u}));

    n = numbers({"prog", "-r"});
    ASSERT_NE(n.list, nullptr);
    EXPECT_EQ(n.count, 0u);
    values(n);
}

TEST(LineNumbers, TheFirstWordWithoutANumberEndsTheList)
{
    for (const char *word : {"x6", "+", "-d", "  "}) {
        const Numbers n = numbers({"prog", "-r", "1", word, "y"});
        EXPECT_EQ(n.list, nullptr);
        EXPECT_EQ(n.err, std::string("Line number must be a valid integer. ") + word +
                             " is not a valid integer.\n");
    }
    const Numbers n = numbers({"prog", "-r", ""});
    EXPECT_EQ(n.list, nullptr);
    EXPECT_EQ(n.err, "Line number must be a valid integer.  is not a valid integer.\n");
}

TEST(LineNumbers, OnlySigned32BitNumbersAreInRange)
{
    for (const char *word : {"2147483648", "-2147483649", "99999999999", "99999999999999999999"}) {
        const Numbers n = numbers({"prog", "-r", word});
        EXPECT_EQ(n.list, nullptr) << word;
        EXPECT_EQ(n.err, "Line number is out of range.\n") << word;
    }
    const Numbers n = numbers({"prog", "-r", "-2147483648"});
    EXPECT_EQ(values(n), std::vector<unsigned int>{2147483648u});
}

TEST(LineNumbers, AtMostAHundredNumbers)
{
    std::vector<std::string> words = {"prog", "-r"};
    for (int i = 1; i <= 100; i++)
        words.push_back(std::to_string(i));
    Numbers n = numbers(words);
    EXPECT_EQ(values(n).size(), 100u);
    words.push_back("101");
    n = numbers(words);
    EXPECT_EQ(n.list, nullptr);
    EXPECT_EQ(n.count, 101u);
    EXPECT_EQ(n.err, "Too many lines to delete at once.");
    // Fewer than two words count as far too many.
    n = numbers({"prog"});
    EXPECT_EQ(n.list, nullptr);
    EXPECT_EQ(n.err, "Too many lines to delete at once.");
}

}  // namespace
