// The transactional line editor.
#include "edit_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/xattr.h>
#endif

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string.h>

// For the tests and the fuzz target only, which declare it themselves: below
// 0 (as the programs run) the kernel copies what it can. At 0 or more it is
// the number of copy_file_range calls that may run before the next one is
// refused as if unsupported; meanwhile every span goes to the kernel, even
// one that the read-ahead buffer holds, a few bytes a call, so that a
// refusal can fall in the middle of a span.
long edit_file_copy_budget = -1;

namespace {

// Root's, or the effective user's: a plain copy of a program keeps working
// in its user's own tree.
bool trusted_owner(uid_t uid)
{
    return uid == 0 || uid == geteuid();
}

// How many symbolic links one path may pass through.
constexpr int MAX_LINKS = 40;

int deny()
{
    errno = EACCES;
    return 0;
}

// Refuses a critical file: the message, and errno EACCES for the perror
// that may follow.
int refuse(const char *file)
{
    if (file != nullptr)
        std::fprintf(stderr, "Permissions on %s are not correct.\n", file);
    else
        std::fputs("Permissions on a critical file are not correct.\n", stderr);
    return deny();
}

bool open_to_others(const struct stat &st)
{
    return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

// A directory that only root or the effective user can change, or a sticky
// one where others may only change their own entries.
bool dir_ok(const struct stat &st)
{
    return S_ISDIR(st.st_mode) && trusted_owner(st.st_uid) &&
           (!open_to_others(st) || (st.st_mode & S_ISVTX) != 0);
}

// Takes the first name off todo; "" when none is left.
std::string take_name(std::string &todo)
{
    const size_t start = todo.find_first_not_of('/');
    if (start == std::string::npos) {
        todo.clear();
        return "";
    }
    const size_t end = todo.find('/', start);
    std::string name = todo.substr(start, end - start);
    todo.erase(0, end);
    return name;
}

const char *dir_name(const std::string &done)
{
    return done.empty() ? "/" : done.c_str();
}

// Puts the target of the link at path in front of what is left to walk.
bool follow(const std::string &path, std::string &done, std::string &todo, int &links)
{
    std::string target(PATH_MAX, '\0');
    const ssize_t len = readlink(path.c_str(), &target[0], target.size());
    if (len < 0)
        return false;
    if (len == 0 || static_cast<size_t>(len) >= target.size() || ++links > MAX_LINKS) {
        errno = ELOOP;
        return false;
    }
    target.resize(static_cast<size_t>(len));
    if (target[0] == '/')
        done.clear();
    todo = target + "/" + todo;
    return true;
}

}  // namespace

int permissions_ok(FILE *fp, const char *file)
{
    if (fp == nullptr)
        return 0;
    struct stat st;
    if (fstat(fileno(fp), &st) == -1) {
        std::perror("Failed to check access on a critical file.");
        return 0;
    }
    if (st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return refuse(file);
    return 1;
}

// The walk goes from / down, one entry at a time, by lstat: whoever may
// replace an entry on the way decides what the name leads to. A link is
// followed by walking its target the same way; "." and ".." in a target are
// taken by name, since every directory before them was walked already.
int safe_path(const char *file)
{
    std::string todo = file, done;  // done: the directories walked, "" for /
    if (todo.empty() || todo[0] != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) == nullptr)
            return 0;
        todo = std::string(cwd) + "/" + todo;
    }
    int links = 0;
    struct stat dir, st;
    if (lstat("/", &dir) != 0)
        return 0;
    for (;;) {
        if (!dir_ok(dir))
            return deny();
        const std::string name = take_name(todo);
        if (name.empty())
            return 1;
        if (name == "." || name == "..") {
            if (name == ".." && !done.empty())
                done.erase(done.rfind('/'));
            if (lstat(dir_name(done), &dir) != 0)
                return 0;
            continue;
        }
        std::string path = done;
        path += '/';
        path += name;
        // What is missing from a directory only root or we can write stays
        // so; opening it fails later on its own.
        if (lstat(path.c_str(), &st) != 0)
            return errno == ENOENT && !open_to_others(dir) ? 1 : 0;
        if (open_to_others(dir) && !trusted_owner(st.st_uid))
            return deny();
        if (S_ISLNK(st.st_mode)) {
            if (!follow(path, done, todo, links) || lstat(dir_name(done), &dir) != 0)
                return 0;
            continue;
        }
        if (todo.find_first_not_of('/') == std::string::npos)
            return 1;  // the file itself, which permissions_ok judges
        done = path;
        dir = st;
    }
}

int trusted_path(const char *file)
{
    return safe_path(file) ? 1 : refuse(file);
}

#ifdef __linux__
namespace {

// The NUL-separated names of fd's extended attributes; none where the file
// system has none.
bool xattr_names(int fd, std::string &names)
{
    for (;;) {
        const ssize_t size = flistxattr(fd, nullptr, 0);
        names.clear();
        if (size <= 0)
            return size == 0 || errno == ENOTSUP;
        names.resize(static_cast<size_t>(size));
        const ssize_t got = flistxattr(fd, &names[0], names.size());
        if (got >= 0) {
            names.resize(static_cast<size_t>(got));
            return true;
        }
        if (errno != ERANGE)
            return false;
    }
}

bool xattr_value(int fd, const char *name, std::string &value)
{
    for (;;) {
        const ssize_t size = fgetxattr(fd, name, nullptr, 0);
        value.clear();
        if (size <= 0)
            return size == 0;
        value.resize(static_cast<size_t>(size));
        const ssize_t got = fgetxattr(fd, name, &value[0], value.size());
        if (got >= 0) {
            value.resize(static_cast<size_t>(got));
            return true;
        }
        if (errno != ERANGE)
            return false;
    }
}

// Calls f with each name of a NUL-separated list; false as soon as f is.
template <typename F>
bool each_name(const std::string &names, F f)
{
    for (size_t at = 0; at < names.size(); at += std::strlen(names.c_str() + at) + 1) {
        if (!f(names.c_str() + at))
            return false;
    }
    return true;
}

}  // namespace

int copy_xattrs(int from, int to)
{
    std::string names, extra, value;
    if (!xattr_names(from, names) || !xattr_names(to, extra))
        return 0;
    const bool copied = each_name(names, [&](const char *name) {
        return xattr_value(from, name, value) &&
               fsetxattr(to, name, value.data(), value.size(), 0) == 0;
    });
    // A new file may have come with attributes of its own, such as an ACL
    // inherited from the directory's default one.
    const bool trimmed = copied && each_name(extra, [&](const char *name) {
        if (fgetxattr(from, name, nullptr, 0) >= 0)
            return true;
        return errno == ENODATA && (fremovexattr(to, name) == 0 || errno == ENODATA);
    });
    return trimmed ? 1 : 0;
}
#else
int copy_xattrs(int, int)
{
    return 1;
}
#endif

namespace {

// Lines are numbered by pieces of this many bytes at most.
constexpr size_t PIECE = MAX_LINE - 1;
// First size of the read-ahead buffer; it grows only for a longer line.
constexpr size_t CHUNK = size_t{128} * 1024;

struct free_deleter {
    void operator()(void *p) const { std::free(p); }
};
using c_str_ptr = std::unique_ptr<char, free_deleter>;

int count_result(unsigned long cnt)
{
    return cnt > static_cast<unsigned long>(INT_MAX) ? INT_MAX : static_cast<int>(cnt);
}

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

bool put_bytes(edit_file *ef, const char *p, size_t n)
{
    if (n == 0)
        return true;
    errno = 0;
    if (ef->ends_open && std::fputc('\n', ef->fp_tmp) == EOF)
        return failed(ef);
    if (std::fwrite(p, 1, n, ef->fp_tmp) != n)
        return failed(ef);
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
ssize_t read_at(edit_file *ef, char *buf, size_t n, off_t at)
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
bool byte_at(edit_file *ef, off_t at, char &c)
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
bool refusal(int err)
{
    return err == ENOSYS || err == EXDEV || err == EINVAL || err == EOPNOTSUPP;
}

// copy_file_range, or the refusal that the tests' switch asks for.
ssize_t copy_range(int in, off_t *at, int out, size_t want)
{
    if (edit_file_copy_budget == 0) {
        errno = ENOSYS;
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
copied kernel_copy(edit_file *ef, off_t &at, off_t to)
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
copied kernel_copy(edit_file *, off_t &, off_t)
{
    return copied::refused;
}
#endif

// The same copy by reads and writes; last gets the last byte copied.
bool buffer_copy(edit_file *ef, off_t &at, off_t to, char &last)
{
    const c_str_ptr buf(static_cast<char *>(std::malloc(CHUNK)));
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
        errno = 0;
        const size_t n = static_cast<size_t>(got);
        if (std::fwrite(buf.get(), 1, n, ef->fp_tmp) != n)
            return failed(ef);
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

bool grow_ahead(edit_file *ef)
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
// read position there. The end of a small file is read into the buffer and
// written from there; the rest of a large one goes by copy_span.
bool copy_rest(edit_file *ef, off_t from)
{
    auto &a = ef->ahead;
    const off_t held = a.off - static_cast<off_t>(a.end);
    if (from_buffer(ef) && from >= held) {
        if (a.cap == 0 && !grow_ahead(ef))
            return false;
        int got = 1;
        while (got > 0 && a.end < a.cap)
            got = read_ahead(ef);
        if (got < 0)
            return false;
        if (got == 0) {
            const bool ok = put_bytes(ef, a.buf + (from - held), static_cast<size_t>(a.off - from));
            drop_ahead(ef);
            return ok;
        }
    }
    const off_t end = copy_span(ef, from, -1);
    if (end < 0)
        return false;
    drop_ahead(ef);
    a.off = end;
    return true;
}

// Whether the kernel shares blocks between the file and the temporary file,
// found out once, when the first kept-bytes reach past the first block: by
// cloning that block, which the copy of those bytes later does again.
bool shares_blocks(edit_file *ef, off_t kept)
{
    if (ef->shares == 0) {
        ef->shares = -1;
#ifdef __linux__
        struct stat st;
        const int out = fileno(ef->fp_tmp);
        if (!ef->by_buffers && fstat(out, &st) == 0 && st.st_blksize > 0 && kept >= st.st_blksize) {
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

// The name must still lead to the file that was stat'ed and opened: a
// commit by another transaction in between would otherwise be overwritten.
bool still_same(const edit_file *ef, const struct stat &st)
{
    struct stat opened, now;
    if (fstat(fileno(ef->fp), &opened) == -1 || stat(ef->fname, &now) == -1)
        return false;
    return opened.st_dev == st.st_dev && opened.st_ino == st.st_ino &&
           now.st_dev == opened.st_dev && now.st_ino == opened.st_ino;
}

// The directory that holds fname, opened for its fsync; -1 if it can't be.
int open_dir(const char *fname)
{
    const char *slash = std::strrchr(fname, '/');
    if (slash == nullptr)
        return open(".", O_RDONLY | O_DIRECTORY);
    if (slash == fname)
        return open("/", O_RDONLY | O_DIRECTORY);
    c_str_ptr dir(strndup(fname, static_cast<size_t>(slash - fname)));
    if (!dir)
        return -1;
    return open(dir.get(), O_RDONLY | O_DIRECTORY);
}

// Everything the temporary file needs before it may take the name: its
// content written and checked, the owner, the extended attributes (an ACL
// among them) and the mode set, all of it on disk. The mode comes last, as
// chown and a new ACL may clear the set-id bits.
bool seal_tmp(edit_file *ef)
{
    if (ef->err != 0 || std::ferror(ef->fp_tmp)) {
        errno = ef->err != 0 ? ef->err : EIO;
        return false;
    }
    if (std::fflush(ef->fp_tmp) == EOF)
        return false;
    const int fd = fileno(ef->fp_tmp);
    if (getuid() == 0)
        (void)!fchown(fd, static_cast<uid_t>(ef->uid), ef->gid);
    if (!copy_xattrs(fileno(ef->fp), fd))
        return false;
    (void)!fchmod(fd, ef->mode & 07777);
    if (fsync(fd) == -1)
        return false;
    FILE *tmp = ef->fp_tmp;
    ef->fp_tmp = nullptr;
    return std::fclose(tmp) == 0;
}

}  // namespace

FILE *mktemp_file(const char *file, char **tmpfile)
{
    if (file == nullptr || tmpfile == nullptr)
        return nullptr;
    const size_t len = std::strlen(file);
    c_str_ptr name(static_cast<char *>(std::malloc(len + 5)));
    *tmpfile = nullptr;
    if (!name)
        return nullptr;
    std::snprintf(name.get(), len + 5, "%s.tmp", file);
    const int fd = open(name.get(), O_WRONLY | O_CREAT | O_TRUNC | O_EXCL, 0600);
    if (fd == -1)
        return nullptr;
    FILE *fp = fdopen(fd, "w");
    if (fp == nullptr) {
        const int err = errno;
        unlink(name.get());
        close(fd);
        errno = err;
        return nullptr;
    }
    *tmpfile = name.release();
    return fp;
}

edit_file *open_file(const char *fname)
{
    if (fname == nullptr)
        return nullptr;
    struct stat st;
    if (stat(fname, &st) == -1)
        return nullptr;
    // Not even opened before its path is known to be safe: the name could
    // lead to a device or a FIFO of the caller's.
    if (!trusted_path(fname))
        return nullptr;
    edit_ptr ef(static_cast<edit_file *>(std::calloc(1, sizeof(edit_file))));
    if (!ef)
        return nullptr;
    ef->fp = std::fopen(fname, "r");
    if (ef->fp == nullptr || !permissions_ok(ef->fp, fname))
        return nullptr;
    const size_t fname_len = std::strlen(fname);
    ef->fname = static_cast<char *>(std::malloc(fname_len + 1));
    if (ef->fname == nullptr)
        return nullptr;
    std::memcpy(ef->fname, fname, fname_len + 1);
    ef->fp_tmp = mktemp_file(fname, &ef->fname_tmp);
    if (ef->fp_tmp == nullptr)
        return nullptr;
    ef->tmp_owned = 1;
    if (!still_same(ef.get(), st)) {
        errno = EAGAIN;
        return nullptr;
    }
    ef->uid = static_cast<pid_t>(st.st_uid);
    ef->gid = st.st_gid;
    ef->mode = st.st_mode;
    return ef.release();
}

int commit_file(edit_file *ef)
{
    if (ef == nullptr)
        return 0;
    if (!ef->is_dirty) {
        if (ef->tmp_owned) {
            unlink(ef->fname_tmp);
            ef->tmp_owned = 0;
        }
        return 0;
    }
    if (ef->fp_tmp == nullptr || !ef->tmp_owned) {
        errno = EBADF;
        return 0;
    }
    if (!seal_tmp(ef))
        return 0;
    const int dir = open_dir(ef->fname);
    if (std::rename(ef->fname_tmp, ef->fname) == -1) {
        const int err = errno;
        if (dir != -1)
            close(dir);
        errno = err;
        return 0;
    }
    ef->tmp_owned = 0;
    if (dir != -1) {
        // The new content is in place; a failed directory sync can't undo that.
        (void)fsync(dir);
        close(dir);
    }
    std::fclose(ef->fp);
    ef->fp = nullptr;
    return 1;
}

void free_file(edit_file *ef)
{
    if (ef == nullptr)
        return;
    const int err = errno;
    if (ef->fp != nullptr)
        std::fclose(ef->fp);
    if (ef->fp_tmp != nullptr)
        std::fclose(ef->fp_tmp);
    std::free(ef->fname);
    // Once renamed (or removed) the name may already be another
    // transaction's temporary file.
    if (ef->fname_tmp != nullptr && ef->tmp_owned)
        unlink(ef->fname_tmp);
    std::free(ef->fname_tmp);
    std::free(ef->ahead.buf);
    std::free(ef);
    errno = err;
}

void revert_file(edit_file *ef)
{
    (void)ef;
}

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
