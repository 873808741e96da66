// line_pass: one forward pass of a line operation over the rest of the
// file, internal to the line editor. The file is read once, in large
// blocks, into the transaction's read-ahead buffer, which the next pass of
// the transaction continues from. Line boundaries are found by memchr over
// each block, and each line is handed to the operation's decision where it
// lies. What is kept is written from the same buffer, a block at a time;
// where the kernel shares blocks, what is kept from the start of the file
// on is left to it, unread by it.
#ifndef LINE_PASS_H
#define LINE_PASS_H

#include <sys/types.h>

#include <climits>
#include <cstddef>
#include <cstring>

#include "edit_file.h"

// Lines are numbered by pieces of this many bytes at most.
inline constexpr size_t PIECE = MAX_LINE - 1;

// What a pass does with one physical line: copy it, drop it, end the pass
// on it unwritten, or copy it and everything after it without reading on.
enum class step { keep, drop, stop, rest };

class pass {
public:
    explicit pass(edit_file *ef);
    pass(const pass &) = delete;
    pass &operator=(const pass &) = delete;

    // Hands each line to decide(line, len, first, last): its bytes, the
    // newline included, and the first and the last of the numbers it
    // takes. Ends at the end of the file, or on a line decided stop or
    // rest. Gives the count of numbers read, or -1 on failure.
    template <typename Decide>
    int walk(Decide &&decide);

    // Counts the times the bytes read so far moved in memory: what a
    // decision found among them before is no longer where it was.
    unsigned long moves() const { return moves_; }
    // The end of the bytes read so far.
    const char *read_end() const { return a_.buf + a_.end; }

private:
    // The file offset of a byte in the buffer.
    off_t at(const char *p) const { return a_.off - static_cast<off_t>(a_.buf + a_.end - p); }
    bool write_to(off_t to);
    bool cut(const char *from, const char *to);
    bool end_on(step s, const char *line, const char *next);
    int fill(const char *consumed);
    bool done();
    static int count(unsigned long cnt) { return cnt > INT_MAX ? INT_MAX : static_cast<int>(cnt); }

    edit_file *ef_;
    decltype(edit_file::ahead) &a_;
    off_t run_beg_;  // what was kept from there on is still to be written
    unsigned long moves_ = 0;
};

template <typename Decide>
int pass::walk(Decide &&decide)
{
    unsigned long cnt = 0;
    size_t clean = 0;  // bytes of the line begun known to hold no newline
    for (;;) {
        const char *p = a_.buf + a_.beg;
        const char *const end = a_.buf + a_.end;
        for (const char *from = p + clean; from < end; from = p) {
            const void *nl = std::memchr(from, '\n', static_cast<size_t>(end - from));
            if (nl == nullptr)
                break;
            const char *next = static_cast<const char *>(nl) + 1;
            const auto len = static_cast<size_t>(next - p);
            const unsigned long first = cnt + 1;
            cnt += len <= PIECE ? 1 : (len + PIECE - 1) / PIECE;
            const step s = decide(p, len, first, cnt);
            if (s == step::drop) {
                if (!cut(p, next))
                    return -1;
            } else if (s != step::keep) {
                return end_on(s, p, next) ? count(cnt) : -1;
            }
            p = next;
        }
        clean = static_cast<size_t>(end - p);
        const int got = fill(p);
        if (got < 0)
            return -1;
        if (got == 0)
            break;
    }
    if (a_.beg < a_.end) {  // a last line without a newline
        const char *p = a_.buf + a_.beg;
        const size_t len = a_.end - a_.beg;
        const unsigned long first = cnt + 1;
        cnt += (len + PIECE - 1) / PIECE;
        const step s = decide(p, len, first, cnt);
        if (s == step::drop) {
            if (!cut(p, p + len))
                return -1;
        } else if (s != step::keep) {
            return end_on(s, p, p + len) ? count(cnt) : -1;
        }
        a_.beg = a_.end;
    }
    return done() ? count(cnt) : -1;
}

#endif
