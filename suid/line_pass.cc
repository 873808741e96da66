// One forward pass over the lines: the kept runs and where they are
// written from.
#include "line_pass.h"

#include <cerrno>
#include <cstdio>

#include "span_copy.h"

using namespace spans;

pass::pass(edit_file *ef) : ef_(ef), a_(ef->ahead), run_beg_(read_pos(ef)) {}

// Writes what was kept from run_beg_ up to the offset to: from the buffer
// where it holds those bytes, else by the copy engine.
bool pass::write_to(off_t to)
{
    const off_t beg = run_beg_;
    run_beg_ = to;
    if (beg >= to)
        return true;
    const off_t held = at(a_.buf);
    if (from_buffer(ef_) && beg >= held)
        return put_bytes(ef_, a_.buf + (beg - held), static_cast<size_t>(to - beg));
    return copy_span(ef_, beg, to) >= 0;
}

// Drops the bytes [from, to) of the buffer.
bool pass::cut(const char *from, const char *to)
{
    if (!write_to(at(from)))
        return false;
    run_beg_ = at(to);
    return true;
}

bool pass::end_on(step s, const char *line, const char *next)
{
    if (s == step::rest) {
        a_.beg = static_cast<size_t>(line - a_.buf);
        if (!copy_rest(ef_, run_beg_))
            return false;
        run_beg_ = read_pos(ef_);
        return done();
    }
    if (!write_to(at(line)))
        return false;
    a_.beg = static_cast<size_t>(next - a_.buf);
    run_beg_ = at(next);
    return done();
}

// Reads on past consumed, the first byte of the line begun. 1: more bytes
// stand in the buffer; 0: end of file; -1: failure.
int pass::fill(const char *consumed)
{
    a_.beg = static_cast<size_t>(consumed - a_.buf);
    const off_t upto = at(consumed);
    // The kernel may share blocks only at the same offset in both files.
    if (!(run_beg_ == 0 && upto > 0 && shares_blocks(ef_, upto)) && !write_to(upto))
        return -1;
    moves_++;
    if (a_.beg > 0) {
        std::memmove(a_.buf, a_.buf + a_.beg, a_.end - a_.beg);
        a_.end -= a_.beg;
        a_.beg = 0;
    }
    return read_ahead(ef_);
}

// Writes what was kept so far; false when any write of the transaction
// failed.
bool pass::done()
{
    if (!write_to(at(a_.buf + a_.beg)))
        return false;
    if (a_.beg == a_.end)
        drop_ahead(ef_);
    errno = 0;
    return !std::ferror(ef_->fp_tmp) || failed(ef_);
}
