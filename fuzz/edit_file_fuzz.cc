// The line editor against a model of what it promises. The input decides a
// file's bytes, its mode, one line operation and its arguments; the real
// transaction runs on the file in a private directory and the committed
// bytes, mode and results must be the model's.
//
// The model: a physical line (its bytes up to and including its newline, or
// the bytes after the last newline) of n bytes is numbered as ceil(n / 499)
// lines, at least 1; a number or a match selects the whole physical line
// that holds it, the first one in file order; the match is a substring of
// the whole physical line. A NUL byte in the file is a byte like any other:
// the editor copies, counts and searches it. Whatever is written after bytes
// that end without a newline gets one first, unless it is a new text that
// begins with one.
// rm_lines reads, and counts, the lines up to the first one past the last
// number listed, or all of them when the list reaches past the end.
// modify_keyed is held to the per-line chooser that the table requests used
// before it, built on line_key and same_key: the first line whose key is the
// old one is replaced, a line that stays with one of the new keys refuses.
// Its keys are the lines of the trailing text and, for each number of the
// list, the key of a line of the file, its case changed for odd rounds.
//
// The input also decides whether the editor copies as the programs do,
// has the kernel copy every span, or has the kernel refuse from the start
// or after a few calls, when the buffers must take over in the middle of a
// span, and by which errno it refuses: every way gives the same bytes.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "edit_file.h"
#include "fuzz_support.h"
#include "smlib.h"

// The editor's switch for the tests: below 0 the kernel copies what it can;
// at 0 or more every span goes to the kernel, which refuses after as many
// calls as it holds, with the errno of the refusal.
extern long edit_file_copy_budget;
extern int edit_file_copy_refusal;

namespace {

constexpr size_t PIECE = MAX_LINE - 1;
constexpr unsigned long NO_LINE = static_cast<unsigned long>(-1);
constexpr size_t MAX_CONTENT = 16384;
constexpr size_t MAX_TEXT = 2048;

enum op_kind { OP_ADD, OP_MODIFY, OP_RM_LINE, OP_RM_LINES, OP_NONE, OP_KEYED, OP_KINDS };

const mode_t MODES[] = {0644, 0600, 0400, 0640, 04755, 02644, 0755, 01644};

struct edit_case {
    op_kind op;
    mode_t mode;
    unsigned long line_no;
    bool has_match;
    std::string match;
    std::string line;
    std::vector<unsigned int> lines;
    int refused_op;       // -1: none; else a second op that must be refused
    bool then_add;        // one more add_line after the operation
    std::string line2;
    std::string content;
    long copy_budget;     // for edit_file_copy_budget
    int copy_refusal;     // for edit_file_copy_refusal
    std::vector<std::string> keys;  // for modify_keyed; the old key is the match
};

std::string flip_case(std::string s)
{
    for (char &ch : s) {
        if ((ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z'))
            ch = static_cast<char>(ch ^ 0x20);
    }
    return s;
}

edit_case decode(const uint8_t *data, size_t size)
{
    zf::input_reader in(data, size);
    edit_case c;
    const uint8_t flags = in.byte();
    c.op = static_cast<op_kind>((flags & 7) % OP_KINDS);
    const bool has_number = flags & 0x08;
    c.has_match = flags & 0x10;
    c.then_add = flags & 0x20;
    const uint8_t second = in.byte();
    c.refused_op = (flags & 0x40) ? second % 3 : -1;
    c.mode = MODES[second / 3 % (sizeof MODES / sizeof MODES[0])];
    const long budgets[] = {0, 1, 3, 1000000};
    c.copy_budget = (flags & 0x80) ? budgets[second / 24 % 4] : -1;
    const uint32_t number = in.number();
    // The largest number stands for one beyond any count, but not "no number".
    c.line_no = !has_number ? NO_LINE : number == 0xffffffffu ? NO_LINE - 1 : number;
    c.match = zf::up_to_nul(in.text(2, MAX_TEXT));
    c.line = zf::up_to_nul(in.text(2, MAX_TEXT));
    c.line2 = zf::up_to_nul(in.text(2, MAX_TEXT));
    const unsigned count = in.byte() % 121;
    for (unsigned i = 0; i < count; i++)
        c.lines.push_back(in.number());
    c.content = in.text(24, MAX_CONTENT);
    const int refusals[] = {ENOSYS, EXDEV, EINVAL, EOPNOTSUPP};
    c.copy_refusal = refusals[in.byte() % 4];
    for (const std::string &k : zf::physical_lines(c.line2))
        c.keys.push_back(k.substr(0, k.find('\n')));
    const std::vector<std::string> lines = zf::physical_lines(c.content);
    for (unsigned int n : c.lines) {
        if (lines.empty())
            break;
        const std::string key(line_key(lines[n % lines.size()]));
        c.keys.push_back(n / lines.size() % 2 ? flip_case(key) : key);
    }
    return c;
}

size_t pieces(const std::string &physical)
{
    return physical.empty() ? 1 : (physical.size() + PIECE - 1) / PIECE;
}

// Index of the physical line that copy_until would stop at, or lines.size().
size_t selected(const std::vector<std::string> &lines, unsigned long line_no,
                const char *match)
{
    unsigned long first = 1;
    for (size_t i = 0; i < lines.size(); i++) {
        const unsigned long last = first + pieces(lines[i]) - 1;
        if (line_no >= first && line_no <= last)
            return i;
        if (match != nullptr && lines[i].find(match) != std::string::npos)
            return i;
        first = last + 1;
    }
    return lines.size();
}

// Whether the sorted list names any number from first to last.
bool listed(unsigned long first, unsigned long last, const std::vector<unsigned int> &sorted)
{
    if (first > UINT_MAX)
        return false;
    const auto it = std::lower_bound(sorted.begin(), sorted.end(), static_cast<unsigned int>(first));
    return it != sorted.end() && *it <= last;
}

struct model_result {
    model_result(int r, std::string c, bool f = false, std::string t = "")
        : rc(r), content(std::move(c)), found(f), taken(std::move(t))
    {
    }
    int rc;
    std::string content;
    bool found;
    std::string taken;
};

model_result keyed_model(const edit_case &c, const std::vector<std::string> &lines)
{
    std::string old = c.match;
    bool looking = c.has_match && !old.empty();
    size_t at = lines.size();
    for (size_t i = 0; i < lines.size(); i++) {
        const std::string_view key = line_key(lines[i]);
        if (key.empty())
            continue;
        if (looking && same_key(key, old)) {
            looking = false;
            at = i;
            continue;
        }
        for (const std::string &k : c.keys) {
            if (same_key(key, k))
                return {0, c.content, at != lines.size(), k};
        }
    }
    if (c.has_match && lines.empty())
        return {0, c.content};
    model_result r(1, "", at != lines.size());
    for (size_t i = 0; i < lines.size(); i++) {
        if (i == at)
            zf::append(r.content, c.line);
        else
            zf::append(r.content, lines[i], false);
    }
    if (at == lines.size())
        zf::append(r.content, c.line);
    return r;
}

model_result model(const edit_case &c)
{
    const std::vector<std::string> lines = zf::physical_lines(c.content);
    const char *match = c.has_match ? c.match.c_str() : nullptr;
    model_result r{1, ""};
    switch (c.op) {
    case OP_ADD:
        r.content = c.content;
        zf::append(r.content, c.line);
        break;
    case OP_MODIFY:
    case OP_RM_LINE: {
        if (c.op == OP_MODIFY && lines.empty())
            return {0, c.content};
        const size_t at = selected(lines, c.line_no, match);
        for (size_t i = 0; i < lines.size(); i++) {
            if (i == at && c.op == OP_MODIFY)
                zf::append(r.content, c.line);
            else if (i != at)
                zf::append(r.content, lines[i], false);
        }
        if (at == lines.size() && c.op == OP_MODIFY)
            zf::append(r.content, c.line);
        break;
    }
    case OP_RM_LINES: {
        std::vector<unsigned int> sorted = c.lines;
        std::sort(sorted.begin(), sorted.end());
        unsigned long first = 1, read = 0;
        for (const std::string &l : lines) {
            const unsigned long n = pieces(l);
            if (!listed(first, first + n - 1, sorted))
                r.content += l;
            if (read == 0 && (sorted.empty() || first > sorted.back()))
                read = first + n - 1;
            first += n;
        }
        r.rc = static_cast<int>(read != 0 ? read : first - 1);
        if (r.rc == 0)
            return {0, c.content};
        break;
    }
    case OP_KEYED:
        r = keyed_model(c, lines);
        if (r.rc == 0)
            return r;
        break;
    case OP_NONE:
    case OP_KINDS:
        return {0, c.content};
    }
    if (c.then_add)
        zf::append(r.content, c.line2);
    return r;
}

const char *const OP_NAMES[] = {"add_line", "modify_line", "rm_line", "rm_lines", "none",
                                "modify_keyed"};
const edit_case *current = nullptr;

std::string describe()
{
    const edit_case &c = *current;
    char mode[16];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(c.mode));
    std::string d = std::string(OP_NAMES[c.op]) + ", mode " + mode + ", line_no " +
                    (c.line_no == NO_LINE ? std::string("none") : std::to_string(c.line_no)) +
                    ", match " + (c.has_match ? zf::show(c.match) : std::string("null")) +
                    ", line " + zf::show(c.line) + ", list {";
    for (unsigned int n : c.lines)
        d += std::to_string(n) + " ";
    d += "}, keys {";
    for (const std::string &k : c.keys)
        d += zf::show(k) + " ";
    d += "}, refused second op " + std::to_string(c.refused_op) + ", copy budget " +
         std::to_string(c.copy_budget) + " refused with " + std::strerror(c.copy_refusal) +
         ", then add " + (c.then_add ? zf::show(c.line2) : std::string("no")) + "\n  content lengths [";
    for (const std::string &l : zf::physical_lines(c.content))
        d += std::to_string(l.size()) + (l.back() == '\n' ? "" : " (no newline)") + " ";
    return d + "]\n  content " + zf::show(c.content);
}

// The result of the last modify_keyed.
bool keyed_found;
std::string keyed_taken;

int run_op(edit_file *ef, op_kind op, const edit_case &c, const std::string &line)
{
    const char *match = c.has_match ? c.match.c_str() : nullptr;
    switch (op) {
    case OP_KEYED: {
        key_edit edit(match, std::vector<std::string_view>(c.keys.begin(), c.keys.end()));
        const int rc = modify_keyed(ef, line.c_str(), edit);
        keyed_found = edit.found;
        keyed_taken = std::string(edit.taken);
        return rc;
    }
    case OP_ADD:
        return add_line(ef, line.c_str());
    case OP_MODIFY:
        return modify_line(ef, c.line_no, match, line.c_str());
    case OP_RM_LINE:
        return rm_line(ef, c.line_no, match);
    case OP_RM_LINES:
        return rm_lines(ef, c.lines.data(), static_cast<unsigned int>(c.lines.size()));
    case OP_NONE:
    case OP_KINDS:
        break;
    }
    return 0;
}

std::string dir_path;
std::string file_path;
std::string tmp_path;

void remove_dir()
{
    unlink(tmp_path.c_str());
    unlink(file_path.c_str());
    rmdir(dir_path.c_str());
}

// Runs the transaction the way a request does and checks it step by step.
void run_transaction(const edit_case &c, const model_result &want)
{
    edit_ptr ef(open_file(file_path.c_str()));
    if (!ef)
        zf::fail("open_file failed on a plain file of mode %04o: %s",
                 static_cast<unsigned>(c.mode), std::strerror(errno));
    if (!zf::exists(tmp_path))
        zf::fail("no temporary file while the transaction is open");
    const int rc = run_op(ef.get(), c.op, c, c.line);
    if (c.op != OP_NONE)
        zf::expect_eq(rc, want.rc, "result of the operation");
    if (c.op == OP_KEYED) {
        zf::expect_eq(keyed_found, want.found, "modify_keyed found the old key");
        zf::expect_eq(keyed_taken, want.taken, "modify_keyed refused for the key");
    }
    if (rc <= 0 && c.op != OP_NONE)
        return;
    if (c.op != OP_NONE && c.refused_op >= 0) {
        const op_kind again = static_cast<op_kind>(OP_MODIFY + c.refused_op);
        zf::expect_eq(run_op(ef.get(), again, c, c.line), 0, "second operation on a transaction");
    }
    if (c.op != OP_NONE && c.then_add)
        zf::expect_eq(add_line(ef.get(), c.line2.c_str()), 1, "add_line after the operation");
    zf::expect_eq(commit_file(ef.get()), c.op == OP_NONE ? 0 : 1, "result of commit_file");
    if (zf::exists(tmp_path))
        zf::fail("temporary file still there after commit_file");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    const char *base = std::getenv("TMPDIR");
    std::string templ = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                        "/zun-edit-fuzz.XXXXXX";
    if (mkdtemp(&templ[0]) == nullptr) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    dir_path = templ;
    file_path = dir_path + "/f";
    tmp_path = file_path + ".tmp";
    std::atexit(remove_dir);
    zf::describe_case() = describe;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const edit_case c = decode(data, size);
    current = &c;
    const model_result want = model(c);
    zf::write_file(file_path, c.content, c.mode);
    std::string messages;
    {
        zf::stderr_capture capture;
        edit_file_copy_budget = c.copy_budget;
        edit_file_copy_refusal = c.copy_refusal;
        run_transaction(c, want);
        edit_file_copy_budget = -1;
        edit_file_copy_refusal = ENOSYS;
        messages = capture.take();
    }
    zf::expect_eq(messages, "", "editor wrote to stderr");
    if (zf::exists(tmp_path))
        zf::fail("temporary file left behind after free_file");
    zf::expect_eq(zf::read_file(file_path), want.content, "file content");
    zf::expect_mode(zf::file_mode(file_path), c.mode, "file mode");
    return 0;
}
