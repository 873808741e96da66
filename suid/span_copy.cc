// The copy engine of the line editor: the bytes an edit keeps go to the
// temporary file by the kernel where it can copy (and share) them, else
// through the transaction's read-ahead buffer or plain reads and writes.
#include "span_copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/fs.h>
#include <sys/ioctl.h>
#endif

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

// For the tests and the fuzz target only, which declare it themselves: below
// 0 (as the programs run) the kernel copies what it can. At 0 or more it is
// the number of copy_file_range calls that may run before the next one is
// refused as if unsupported, with the errno of edit_file_copy_refusal;
// meanwhile every span goes to the kernel, even one that the read-ahead
// buffer holds, a few bytes a call, so that a refusal can fall in the
// middle of a span.
long edit_file_copy_budget = -1;
int edit_file_copy_refusal = ENOSYS;

namespace spans {

// First size of the read-ahead buffer; it grows only for a longer line.
constexpr size_t CHUNK = size_t{512} * 1024;
// Writes of this many bytes or more bypass the stream's buffer.
constexpr size_t DIRECT = size_t{16} * 1024;
// The smallest file whose blocks are shared where the kernel can.
constexpr off_t SHARE_MIN = off_t{8} << 20;

// Marks the transaction as failed for good, keeping the first errno: stdio
// drops a buffer it could not write, so a later flush may well succeed.
bool failed(edit_file *ef)
{
    if (errno == 0)
        errno = EIO;
    if (ef->err == 0)
        ef->err = errno;
    return false;
}

// Many bytes at once go straight to the file, past the stream's buffer.
static bool write_out(edit_file *ef, const char *p, size_t n)
{
    if (n < DIRECT) {
        errno = 0;
        return std::fwrite(p, 1, n, ef->fp_tmp) == n || failed(ef);
    }
    errno = 0;
    if (std::fflush(ef->fp_tmp) == EOF)
        return failed(ef);
    const int fd = fileno(ef->fp_tmp);
    while (n > 0) {
        const ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return failed(ef);
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

bool put_bytes(edit_file *ef, const char *p, size_t n)
{
    if (n == 0)
        return true;
    errno = 0;
    if (ef->ends_open && std::fputc('\n', ef->fp_tmp) == EOF)
        return failed(ef);
    if (!write_out(ef, p, n))
        return false;
    ef->ends_open = p[n - 1] != '\n';
    return true;
}

// A new text brings its own separation when it begins with a newline.
bool put_text(edit_file *ef, const char *text)
{
    if (text[0] == '\n')
        ef->ends_open = 0;
    return put_bytes(ef, text, std::strlen(text));
}

// The source is read by offset, never through its stream. A call that a
// signal handler interrupted is made again.
static ssize_t read_at(edit_file *ef, char *buf, size_t n, off_t at)
{
    ssize_t got;
    do {
        errno = 0;
        got = pread(fileno(ef->fp), buf, n, at);
    } while (got < 0 && errno == EINTR);
    if (got < 0)
        failed(ef);
    return got;
}

// A byte the copy needs to see, which must be there.
static bool byte_at(edit_file *ef, off_t at, char &c)
{
    const ssize_t got = read_at(ef, &c, 1, at);
    if (got == 0) {
        errno = EIO;  // the file shrank under the edit
        failed(ef);
    }
    return got == 1;
}

enum class copied { failed, refused, done };

#ifdef __linux__
static bool refusal(int err)
{
    return err == ENOSYS || err == EXDEV || err == EINVAL || err == EOPNOTSUPP;
}

// copy_file_range, or the refusal that the tests' switch asks for.
static ssize_t copy_range(int in, off_t *at, int out, size_t want)
{
    if (edit_file_copy_budget == 0) {
        errno = edit_file_copy_refusal;
        return -1;
    }
    if (edit_file_copy_budget > 0) {
        --edit_file_copy_budget;
        want = std::min<size_t>(want, 61);
    }
    ssize_t n;
    do {
        errno = 0;
        n = copy_file_range(in, at, out, nullptr, want, 0);
    } while (n < 0 && errno == EINTR);
    return n;
}

// Copies the source's bytes from at up to to (to its end when to is
// negative) into the temporary file by copy_file_range, which may share the
// blocks instead of copying them, and moves at along. Where the kernel
// refuses, at stays where it stopped and the buffers take over for good.
static copied kernel_copy(edit_file *ef, off_t &at, off_t to)
{
    if (ef->by_buffers)
        return copied::refused;
    errno = 0;
    if (std::fflush(ef->fp_tmp) == EOF) {
        failed(ef);
        return copied::failed;
    }
    const int in = fileno(ef->fp), out = fileno(ef->fp_tmp);
    struct stat st;
    if (to < 0 && fstat(in, &st) == -1) {
        failed(ef);
        return copied::failed;
    }
    const off_t end = to < 0 ? st.st_size : to;
    for (;;) {
        if (to >= 0 && at >= to)
            return copied::done;
        // Past the size that fstat gave, one more call finds the real end.
        const ssize_t n = copy_range(
            in, &at, out, at < end ? static_cast<size_t>(std::min<off_t>(end - at, INT_MAX)) : CHUNK);
        if (n > 0)
            continue;
        if (n == 0 && at >= end)
            return copied::done;
        if (n == 0 || refusal(errno)) {
            ef->by_buffers = 1;
            return copied::refused;
        }
        failed(ef);
        return copied::failed;
    }
}
#else
static copied kernel_copy(edit_file *, off_t &, off_t)
{
    return copied::refused;
}
#endif

// The same copy by reads and writes; last gets the last byte copied.
static bool buffer_copy(edit_file *ef, off_t &at, off_t to, char &last)
{
    const std::unique_ptr<char[]> buf(new (std::nothrow) char[CHUNK]);
    if (!buf) {
        errno = ENOMEM;
        return failed(ef);
    }
    for (;;) {
        size_t want = CHUNK;
        if (to >= 0) {
            if (at >= to)
                return true;
            want = static_cast<size_t>(std::min<off_t>(to - at, CHUNK));
        }
        const ssize_t got = read_at(ef, buf.get(), want, at);
        if (got < 0)
            return false;
        if (got == 0) {
            if (to < 0)
                return true;
            errno = EIO;  // the file shrank under the edit
            return failed(ef);
        }
        const size_t n = static_cast<size_t>(got);
        if (!write_out(ef, buf.get(), n))
            return false;
        at += got;
        last = buf.get()[n - 1];
    }
}

// Copies the source's bytes from `from` up to `to`, or to its end when `to`
// is negative, after what the temporary file holds, byte for byte but for
// the newline that keeps them from joining an open end. Gives the offset
// where the copy ended, or -1.
off_t copy_span(edit_file *ef, off_t from, off_t to)
{
    if (to >= 0 && to <= from)
        return from;
    if (ef->ends_open) {
        char first;
        if (to < 0) {
            const ssize_t got = read_at(ef, &first, 1, from);
            if (got <= 0)
                return got == 0 ? from : -1;
        }
        errno = 0;
        if (std::fputc('\n', ef->fp_tmp) == EOF) {
            failed(ef);
            return -1;
        }
        ef->ends_open = 0;
    }
    off_t at = from;
    const copied k = kernel_copy(ef, at, to);
    if (k == copied::failed)
        return -1;
    const off_t by_kernel = at;
    char last = 0;
    if (k == copied::refused && !buffer_copy(ef, at, to, last))
        return -1;
    if (at == by_kernel && at > from && !byte_at(ef, at - 1, last))
        return -1;
    if (at > from)
        ef->ends_open = last != '\n';
    return at;
}

// Whether a span that the read-ahead buffer holds is written from it, which
// takes the fewest calls for a small file.
bool from_buffer(const edit_file *ef)
{
    return ef->by_buffers || edit_file_copy_budget < 0;
}

static bool grow_ahead(edit_file *ef)
{
    auto &a = ef->ahead;
    const size_t cap = a.cap == 0 ? CHUNK : a.cap * 2;
    char *buf = static_cast<char *>(std::realloc(a.buf, cap));
    if (buf == nullptr) {
        errno = ENOMEM;
        return failed(ef);
    }
    a.buf = buf;
    a.cap = cap;
    return true;
}

// Reads on into the read-ahead buffer, which grows when full. 1: bytes
// came; 0: the end of the file; -1: failure.
int read_ahead(edit_file *ef)
{
    auto &a = ef->ahead;
    if (a.end == a.cap && !grow_ahead(ef))
        return -1;
    const ssize_t n = read_at(ef, a.buf + a.end, a.cap - a.end, a.off);
    if (n < 0)
        return -1;
    a.end += static_cast<size_t>(n);
    a.off += n;
    return n > 0 ? 1 : 0;
}

void drop_ahead(edit_file *ef)
{
    const off_t off = ef->ahead.off;
    std::free(ef->ahead.buf);
    ef->ahead = {};
    ef->ahead.off = off;
}

// Copies everything from `from` to the end of the file, and leaves the
// read position there. What the buffer holds is written from it, and the
// end of a small file is read into it first; the rest goes by copy_span,
// and so does all of a file kept whole where the kernel shares blocks.
bool copy_rest(edit_file *ef, off_t from)
{
    auto &a = ef->ahead;
    const off_t held = a.off - static_cast<off_t>(a.end);
    const bool whole = from == 0 && shares_blocks(ef, std::numeric_limits<off_t>::max());
    int open = ef->ends_open;
    if (!whole && from_buffer(ef) && from >= held) {
        if (a.cap == 0 && !grow_ahead(ef))
            return false;
        int got = 1;
        while (got > 0 && a.end < a.cap)
            got = read_ahead(ef);
        if (got < 0 || !put_bytes(ef, a.buf + (from - held), static_cast<size_t>(a.off - from)))
            return false;
        from = a.off;
        if (got == 0) {
            drop_ahead(ef);
            return true;
        }
        // The bytes that follow continue those, whatever the last one.
        open = ef->ends_open;
        ef->ends_open = 0;
    }
    const off_t end = copy_span(ef, from, -1);
    if (end < 0)
        return false;
    if (end == from)
        ef->ends_open = open;
    drop_ahead(ef);
    a.off = end;
    return true;
}

// Whether the kernel shares blocks between the file and the temporary file,
// found out once, when the first kept-bytes reach past the first block: by
// cloning that block, which the copy of those bytes later does again. A
// file below SHARE_MIN is not shared: the bookkeeping of shared blocks
// costs the file system more than writing such a file's bytes.
bool shares_blocks(edit_file *ef, off_t kept)
{
    if (ef->shares == 0) {
        ef->shares = -1;
#ifdef __linux__
        struct stat st, src;
        const int out = fileno(ef->fp_tmp);
        if (!ef->by_buffers && fstat(out, &st) == 0 && st.st_blksize > 0 &&
            kept >= st.st_blksize && fstat(fileno(ef->fp), &src) == 0 &&
            src.st_size >= SHARE_MIN) {
            struct file_clone_range range = {};
            range.src_fd = fileno(ef->fp);
            range.src_length = static_cast<__u64>(st.st_blksize);
            if (ioctl(out, FICLONERANGE, &range) == 0)
                ef->shares = 1;
        }
#else
        (void)kept;
#endif
    }
    return ef->shares > 0 && !ef->by_buffers;
}

// The source offset of the next byte a line operation reads.
off_t read_pos(const edit_file *ef)
{
    return ef->ahead.off - static_cast<off_t>(ef->ahead.end - ef->ahead.beg);
}

}  // namespace spans
