// The line operations of the editor: one forward pass over the file's
// physical lines, numbered by pieces of MAX_LINE - 1 bytes, keeping,
// dropping or replacing them on the way into the temporary file.
#include "edit_file.h"

#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <string.h>
#include <string_view>

#include "span_copy.h"

using namespace spans;

namespace {

// Lines are numbered by pieces of this many bytes at most.
constexpr size_t PIECE = MAX_LINE - 1;

int count_result(unsigned long cnt)
{
    return cnt > static_cast<unsigned long>(INT_MAX) ? INT_MAX : static_cast<int>(cnt);
}

// One forward pass of a line operation over the rest of the file. Physical
// lines are handed out whole from the transaction's read-ahead buffer, which
// the next pass continues from; kept lines that lie side by side are written
// to fp_tmp in one go. Those that start the file, as long as nothing is
// dropped, are left to the kernel where it shares blocks.
class pass {
public:
    explicit pass(edit_file *ef) : ef_(ef), a_(ef->ahead) {}
    pass(const pass &) = delete;
    pass &operator=(const pass &) = delete;

    // 1: a line is ready; 0: end of file; -1: read, memory or write failure.
    int next();
    // How many numbers the current line takes.
    unsigned long pieces() const { return (line_end_ - line_beg_ + PIECE - 1) / PIECE; }
    // The current line's bytes, its newline included.
    std::string_view text() const { return {a_.buf + line_beg_, line_end_ - line_beg_}; }
    // Whether the current line holds the len bytes of text. The search runs
    // over all the buffered bytes at once and remembers where the next
    // occurrence starts, which spares one search per line.
    bool holds(const char *text, size_t len);
    bool keep();
    // Keeps the current line and everything after it, unread.
    bool keep_rest();
    // Writes what was kept so far; false when any write of the transaction
    // failed.
    bool done();

private:
    // The source offset of buf[i].
    off_t at(size_t i) const { return a_.off - static_cast<off_t>(a_.end - i); }
    bool flush_run();
    int fill();

    edit_file *ef_;
    decltype(edit_file::ahead) &a_;
    size_t line_beg_ = 0;
    size_t line_end_ = 0;
    static constexpr size_t NO_HIT = static_cast<size_t>(-1);
    size_t hit_ = NO_HIT;  // where the next occurrence starts, a_.end for none
    off_t run_beg_ = 0;    // source offsets of the kept run
    off_t run_end_ = 0;
};

bool pass::flush_run()
{
    const off_t beg = run_beg_, end = run_end_;
    run_beg_ = run_end_ = 0;
    if (beg == end)
        return true;
    if (from_buffer(ef_) && beg >= at(0))
        return put_bytes(ef_, a_.buf + (beg - at(0)), static_cast<size_t>(end - beg));
    return copy_span(ef_, beg, end) >= 0;
}

// 1: more bytes stand in the buffer; 0: end of file; -1: failure.
int pass::fill()
{
    // Where the kernel merely copies, writing from the buffer costs less;
    // the kernel may share blocks only at the same offset in both files.
    if (!(run_beg_ == 0 && run_end_ > 0 && shares_blocks(ef_, run_end_)) && !flush_run())
        return -1;
    hit_ = NO_HIT;
    if (a_.beg > 0) {
        std::memmove(a_.buf, a_.buf + a_.beg, a_.end - a_.beg);
        a_.end -= a_.beg;
        a_.beg = 0;
    }
    return read_ahead(ef_);
}

int pass::next()
{
    size_t clean = 0;  // bytes after beg known to hold no newline
    for (;;) {
        const size_t avail = a_.end - a_.beg;
        if (avail > clean) {
            const char *from = a_.buf + a_.beg;
            const void *nl = std::memchr(from + clean, '\n', avail - clean);
            if (nl != nullptr) {
                line_beg_ = a_.beg;
                line_end_ = a_.beg + static_cast<size_t>(static_cast<const char *>(nl) - from) + 1;
                a_.beg = line_end_;
                return 1;
            }
            clean = avail;
        }
        const int got = fill();
        if (got < 0)
            return -1;
        if (got == 0) {
            if (a_.beg == a_.end)
                return 0;
            line_beg_ = a_.beg;
            line_end_ = a_.beg = a_.end;
            return 1;
        }
    }
}

bool pass::holds(const char *text, size_t len)
{
    if (hit_ == NO_HIT || hit_ < line_beg_) {
        const void *hit = memmem(a_.buf + line_beg_, a_.end - line_beg_, text, len);
        hit_ = hit == nullptr ? a_.end : static_cast<size_t>(static_cast<const char *>(hit) - a_.buf);
    }
    return hit_ + len <= line_end_;
}

bool pass::keep()
{
    const off_t beg = at(line_beg_);
    if (run_end_ != beg || run_beg_ == run_end_) {
        if (!flush_run())
            return false;
        run_beg_ = beg;
    }
    run_end_ = at(line_end_);
    return true;
}

// The run goes on to the end of the file in one copy, which a file system
// that shares blocks can make without moving them.
bool pass::keep_rest()
{
    if (!keep())
        return false;
    const off_t beg = run_beg_;
    run_beg_ = run_end_ = 0;
    return copy_rest(ef_, beg);
}

bool pass::done()
{
    if (!flush_run())
        return false;
    if (a_.beg == a_.end)
        drop_ahead(ef_);
    errno = 0;
    return !std::ferror(ef_->fp_tmp) || failed(ef_);
}

bool usable(const edit_file *ef) { return ef->fp != nullptr && ef->fp_tmp != nullptr; }

}  // namespace

// What a walk does with one physical line, given the first and last of the
// numbers it takes and the pass that holds it: copy it, drop it, end the
// pass on it unwritten, or copy it and everything after it without reading
// on.
enum class step { keep, drop, stop, rest };

// One forward pass over the lines. Returns the count of numbers read, or -1
// on failure.
template <typename Decide>
int walk(edit_file *ef, Decide decide)
{
    pass p(ef);
    unsigned long cnt = 0;
    int got;
    while ((got = p.next()) > 0) {
        const unsigned long first = cnt + 1;
        cnt += p.pieces();
        const step s = decide(first, cnt, p);
        if (s == step::stop)
            break;
        if ((s == step::keep && !p.keep()) || (s == step::rest && !p.keep_rest())) {
            got = -1;
            break;
        }
        if (s == step::rest)
            break;
    }
    if (got < 0 || !p.done())
        return -1;
    return count_result(cnt);
}

int copy_until(edit_file *ef, unsigned long line_no, const char *match)
{
    if (ef == nullptr || !usable(ef))
        return -1;
    const size_t len = match != nullptr ? std::strlen(match) : 0;
    return walk(ef, [line_no, match, len](unsigned long first, unsigned long last, pass &p) {
        const bool hit = (first <= line_no && line_no <= last) ||
                         (match != nullptr && p.holds(match, len));
        return hit ? step::stop : step::keep;
    });
}

// The rest of the file needs no line of it: it goes whole.
static bool copy_rest_of(edit_file *ef)
{
    return usable(ef) && copy_rest(ef, read_pos(ef));
}

int add_line(edit_file *ef, const char *line)
{
    if (ef == nullptr || line == nullptr)
        return 0;
    ef->is_dirty = 1;
    if (!copy_rest_of(ef))
        return 0;
    return put_text(ef, line) ? 1 : 0;
}

int modify_line(edit_file *ef, unsigned long line_no, const char *match, const char *line)
{
    if (ef == nullptr || line == nullptr || ef->is_dirty)
        return 0;
    ef->is_dirty = 1;
    if (copy_until(ef, line_no, match) <= 0)
        return 0;
    if (!put_text(ef, line))
        return 0;
    return copy_rest_of(ef) ? 1 : 0;
}

int modify_chosen(edit_file *ef, const char *line, const line_chooser &choose)
{
    if (ef == nullptr || line == nullptr || ef->is_dirty)
        return 0;
    ef->is_dirty = 1;
    if (!usable(ef))
        return 0;
    bool replaced = false, refused = false;
    const auto decide = [&](unsigned long, unsigned long, const pass &p) {
        switch (choose(p.text())) {
        case line_choice::refuse:
            refused = true;
            return step::stop;
        case line_choice::replace:
            if (replaced)
                return step::keep;
            replaced = true;
            return step::stop;
        default:
            return step::keep;
        }
    };
    const auto walked = [&] { return walk(ef, decide) >= 0 && !refused; };
    // Up to the line replaced, or to the end; then the rest, still shown.
    return walked() && put_text(ef, line) && (!replaced || walked()) ? 1 : 0;
}

int rm_line(edit_file *ef, unsigned long line_no, const char *match)
{
    if (ef == nullptr || ef->is_dirty)
        return 0;
    ef->is_dirty = 1;
    if (copy_until(ef, line_no, match) < 0)
        return 0;
    return copy_rest_of(ef) ? 1 : 0;
}

// Reads up to the first line past the last number listed (at least one line
// of a file that is not empty) and copies the rest unread.
int rm_lines(edit_file *ef, const unsigned int *lines, unsigned int count)
{
    if (ef == nullptr || ef->is_dirty)
        return 0;
    ef->is_dirty = 1;
    if (!usable(ef))
        return -1;
    if (lines == nullptr)
        count = 0;
    const size_t n = count;
    std::unique_ptr<unsigned int[]> sorted(new (std::nothrow) unsigned int[n + 1]);
    if (!sorted) {
        errno = ENOMEM;
        failed(ef);
        return -1;
    }
    std::copy(lines, lines + n, sorted.get());
    std::sort(sorted.get(), sorted.get() + n);
    const unsigned int *want = sorted.get();
    const unsigned int *const last_want = want + n;

    return walk(ef, [&want, last_want](unsigned long first, unsigned long last, const pass &) {
        while (want != last_want && *want < first)
            ++want;
        if (want == last_want)
            return step::rest;
        return *want <= last ? step::drop : step::keep;
    });
}

int in_lines(unsigned int test, const unsigned int *lines, unsigned int count)
{
    if (lines == nullptr)
        return 0;
    for (unsigned int i = 0; i < count; ++i)
        if (lines[i] == test)
            return 1;
    return 0;
}
