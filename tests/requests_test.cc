// The table line requests: one transaction per call, exact messages, and the
// target file untouched whenever a request fails.
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "smlib.h"
#include "support.h"

namespace {

using Request = std::function<int(const char *file)>;

Request add(const char *text)
{
    return [=](const char *f) { return add_edit_line(f, text, nullptr, EM_ADDLINE); };
}
Request edit(const char *text, const char *match, char mode = EM_EDITLINE)
{
    return [=](const char *f) { return add_edit_line(f, text, match, mode); };
}
Request entry(std::string text)
{
    return [=](const char *f) { return add_edit_entry(f, text.c_str(), nullptr, EM_ADDLINE); };
}
Request remove(std::vector<unsigned int> lines)
{
    return [=](const char *f) {
        static const unsigned int none = 0;
        return remove_lines(f, lines.empty() ? &none : lines.data(),
                            static_cast<unsigned int>(lines.size()));
    };
}

// add_edit_keyed, with 2 for a refusal.
Request keyed(const char *text, const char *old, char mode)
{
    return [=](const char *f) {
        key_edit edit(old, {"c"});
        bool refused = false;
        return add_edit_keyed(f, text, mode, edit, &refused) + 2 * refused;
    };
}

struct Case {
    const char *what;
    std::string before;
    Request request;
    int rc;
    std::string err;
    std::string after;
};

const char FIVE[] = "one\ntwo\nthree\nfour\nfive\n";
const unsigned int ONE[] = {1};
const char NO_DATA_EDIT[] = "Failed to modify the specified line.: No data available\n";
const char NO_DATA_REMOVE[] =
    "Failed to remove one or more of the specified lines.: No data available\n";
const char COMMIT_EINVAL[] = "Failed to commit the changes to the file.: Invalid argument\n";

const Case CASES[] = {
    {"add to empty", "", add("a\tRELAY\n"), 1, "", "a\tRELAY\n"},
    {"add to non-empty", "a\tRELAY\n", add("b\tREJECT\n"), 1, "", "a\tRELAY\nb\tREJECT\n"},
    {"add without newline", "a\n", add("c"), 1, "", "a\nc"},
    {"next add starts a line of its own", "a\nc", add("d\n"), 1, "", "a\nc\nd\n"},
    {"first match only", "a x\nb key\nc x\nd key\n", edit("new\n", "key"), 1, "",
     "a x\nnew\nc x\nd key\n"},
    {"part of a longer word", "mail.example.com\th1\nexample.com\th2\nz\tsmtp:example.com\n",
     edit("example.com\th3\n", "example.com"), 1, "",
     "example.com\th3\nexample.com\th2\nz\tsmtp:example.com\n"},
    {"any column", "a\tsmtp:relay\nb\thost\n", edit("c\tnew\n", "relay"), 1, "",
     "c\tnew\nb\thost\n"},
    {"no match appends", "a\nb\n", edit("c\n", "zzz"), 1, "", "a\nb\nc\n"},
    {"edit of empty file", "", edit("c\n", "a"), 0, NO_DATA_EDIT, ""},
    {"removal of empty file", "", remove({1}), 0, NO_DATA_REMOVE, ""},
    {"edit without match text", FIVE, edit("x\n", nullptr), 0,
     "Invalid parameter to add_edit_line().\n", FIVE},
    {"removal mode", FIVE, edit("x\n", "one", EM_RMLINE), 0, COMMIT_EINVAL, FIVE},
    {"no mode", FIVE, edit("x\n", "one", 0), 0, COMMIT_EINVAL, FIVE},
    {"null text", FIVE, edit(nullptr, "one"), 0, "", FIVE},
    {"null file", FIVE,
     [](const char *) { return add_edit_line(nullptr, "x\n", nullptr, EM_ADDLINE); }, 0, "", FIVE},
    {"null list", FIVE, [](const char *f) { return remove_lines(f, nullptr, 1); }, 0, "", FIVE},
    {"null file to remove", FIVE, [](const char *) { return remove_lines(nullptr, ONE, 1); }, 0, "",
     FIVE},
    {"null relay domain", FIVE,
     [](const char *) { return add_edit_relay_host(nullptr, "h", nullptr, EM_ADDLINE); }, 0, "",
     FIVE},
    {"repeated numbers", FIVE, remove({4, 2, 2}), 1, "", "one\nthree\nfive\n"},
    {"number naming no line", FIVE, remove({0}), 1, "", FIVE},
    {"numbers past the end", FIVE, remove({5, 0, 9, static_cast<unsigned int>(-1)}), 0,
     "Line 9 is past the end of the file.\n", FIVE},
    {"empty list", FIVE, remove({}), 1, "", FIVE},
    {"keyed edit", "a\tx\nb\ty\n", keyed("c\tz\n", "B", EM_EDITLINE), 1, "", "a\tx\nc\tz\n"},
    {"key taken", "a\tx\nc\ty\n", keyed("c\tz\n", "a", EM_EDITLINE), 2, "", "a\tx\nc\ty\n"},
    {"keyed edit of empty file", "", keyed("c\tz\n", "a", EM_EDITLINE), 0, NO_DATA_EDIT, ""},
    {"removal by key", "a\tx\nb\ty\n", keyed("", "A", EM_RMLINE), 1, "", "b\ty\n"},
    {"removal of a key no line has", "a\tx\n", keyed("", "b", EM_RMLINE), 2, "", "a\tx\n"},
    {"removal from an empty file", "", keyed("", "b", EM_RMLINE), 2, "", ""},
    // makemap reads at most 1022 characters of any line, a comment's too.
    {"longest comment", "a\tb\n", entry("#" + std::string(1021, 'c') + "\n"), 1, "",
     "a\tb\n#" + std::string(1021, 'c') + "\n"},
    {"comment too long", "a\tb\n", entry("x\ty\n#" + std::string(1022, 'c')), 0,
     "A comment is longer than 1022 characters.\n", "a\tb\n"},
};

TEST(Requests, EachCaseLeavesItsResultAndNothingElse)
{
    zt::TempDir dir;
    const std::string file = dir / "table";
    for (const Case &c : CASES) {
        SCOPED_TRACE(c.what);
        zt::write_file(file, c.before, 0640);
        EXPECT_EQ(zt::with_stderr([&] { return c.request(file.c_str()); }),
                  std::make_pair(c.rc, c.err));
        EXPECT_EQ(zt::read_file(file), c.after);
        EXPECT_EQ(zt::file_mode(file), 0640u);
        EXPECT_EQ(zt::list_dir(dir.path()), std::vector<std::string>{"table"});
    }
}

TEST(Requests, ABusyOrMissingFileCannotBeOpened)
{
    zt::TempDir dir;
    const std::string file = dir / "table";
    const std::string missing = "Failed to open the file.: No such file or directory\n";
    EXPECT_EQ(zt::with_stderr([&] { return add("x\n")(file.c_str()); }),
              std::make_pair(0, missing));
    EXPECT_TRUE(zt::list_dir(dir.path()).empty());

    zt::write_file(file, FIVE);
    zt::write_file(file + ".tmp", "someone else's\n", 0600);
    for (const Request &r : {remove({1}), edit("x\n", "one"), add("x\n")}) {
        EXPECT_EQ(zt::with_stderr([&] { return r(file.c_str()); }),
                  std::make_pair(0, file + ".tmp was left by an edit that did not finish; it is "
                                           "to be removed once no edit runs.\n"
                                           "Failed to open the file.: File exists\n"));
    }
    EXPECT_EQ(zt::read_file(file), FIVE);
    EXPECT_EQ(zt::read_file(file + ".tmp"), "someone else's\n");
}

// The words, and the numbers they give or the message refusing them.
struct Numbers {
    std::vector<std::string> words;
    std::vector<unsigned int> list;
    std::string err;
};

const std::string NOT_INT = "Line number must be a valid integer. ";
const std::string RANGE = "Line number is out of range.\n";
const std::string TOO_MANY = "Too many lines to delete at once.";

std::vector<std::string> counting(int n)
{
    std::vector<std::string> words = {"prog", "-r"};
    for (int i = 1; i <= n; i++)
        words.push_back(std::to_string(i));
    return words;
}

TEST(LineNumbers, WordsFromTheThirdOnAreSigned32BitNumbers)
{
    std::vector<unsigned int> hundred;
    for (unsigned int i = 1; i <= 100; i++)
        hundred.push_back(i);
    const Numbers cases[] = {
        {{"prog", "-anything", "3", " 4", "+5", "\t\n-1", "2147483647"},
         {3, 4, 5, 4294967295u, 2147483647u}, ""},
        // Nothing may follow the digits.
        {{"prog", "-r", "1", "6x", "y"}, {}, NOT_INT + "6x is not a valid integer.\n"},
        {{"prog", "-r", "1 "}, {}, NOT_INT + "1  is not a valid integer.\n"},
        {{"prog", "-r"}, {}, ""},
        {{"prog", "-r", "-2147483648"}, {2147483648u}, ""},
        {counting(100), hundred, ""},
        {{"prog", "-r", "1", "x6", "y"}, {}, NOT_INT + "x6 is not a valid integer.\n"},
        {{"prog", "-r", "1", "+", "y"}, {}, NOT_INT + "+ is not a valid integer.\n"},
        {{"prog", "-r", "1", "-d", "y"}, {}, NOT_INT + "-d is not a valid integer.\n"},
        {{"prog", "-r", "1", "  ", "y"}, {}, NOT_INT + "   is not a valid integer.\n"},
        {{"prog", "-r", ""}, {}, NOT_INT + " is not a valid integer.\n"},
        {{"prog", "-r", "2147483648"}, {}, RANGE},
        {{"prog", "-r", "-2147483649"}, {}, RANGE},
        {{"prog", "-r", "99999999999"}, {}, RANGE},
        {{"prog", "-r", "99999999999999999999"}, {}, RANGE},
        {counting(101), {}, TOO_MANY},
        // Fewer than two words count as far too many.
        {{"prog"}, {}, TOO_MANY},
    };
    for (const Numbers &c : cases) {
        SCOPED_TRACE(zt::shown(c.words));
        std::vector<std::string> words = c.words;
        std::vector<char *> argv;
        for (auto &w : words)
            argv.push_back(w.data());
        argv.push_back(nullptr);
        unsigned int count = 12345;
        testing::internal::CaptureStderr();
        const line_list list(get_line_numbers(static_cast<int>(words.size()), argv.data(), &count));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
        ASSERT_EQ(list != nullptr, c.err.empty());
        if (list) {
            EXPECT_EQ(std::vector<unsigned int>(list.get(), list.get() + count), c.list);
        } else if (c.words.size() > 100) {
            EXPECT_EQ(count, 101u);
        }
    }
}

}  // namespace
