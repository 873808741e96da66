// The transactional line editor.
#include "edit_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
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
#include <string_view>

namespace {

// Refuses a critical file: the message, and errno EACCES for the perror
// that may follow.
int refuse(const char *file)
{
    if (file != nullptr)
        std::fprintf(stderr, "Permissions on %s are not correct.\n", file);
    else
        std::fputs("Permissions on a critical file are not correct.\n", stderr);
    errno = EACCES;
    return 0;
}

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
constexpr unsigned long NO_LINE = static_cast<unsigned long>(-1);

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
    if (ef->ends_open && p[0] != '\n' && std::fputc('\n', ef->fp_tmp) == EOF)
        return failed(ef);
    if (std::fwrite(p, 1, n, ef->fp_tmp) != n)
        return failed(ef);
    ef->ends_open = p[n - 1] != '\n';
    return true;
}

// One forward pass of a line operation over the rest of fp. Physical lines
// are handed out whole from the transaction's read-ahead buffer, which the
// next pass continues from; kept lines that lie side by side are written
// to fp_tmp in one go.
class pass {
public:
    explicit pass(edit_file *ef) : ef_(ef), a_(ef->ahead) {}
    pass(const pass &) = delete;
    pass &operator=(const pass &) = delete;

    // 1: a line is ready; 0: end of file; -1: read, memory or write failure.
    int next();
    std::string_view line() const
    {
        return std::string_view(a_.buf + line_beg_, line_end_ - line_beg_);
    }
    // How many numbers the current line takes.
    unsigned long pieces() const { return (line_end_ - line_beg_ + PIECE - 1) / PIECE; }
    bool keep();
    // Writes what was kept so far; false when any write of the transaction
    // failed.
    bool done();

private:
    bool flush_run();
    int fill();

    edit_file *ef_;
    decltype(edit_file::ahead) &a_;
    size_t line_beg_ = 0;
    size_t line_end_ = 0;
    size_t run_beg_ = 0;
    size_t run_end_ = 0;
};

bool pass::flush_run()
{
    const bool ok = put_bytes(ef_, a_.buf + run_beg_, run_end_ - run_beg_);
    run_beg_ = run_end_ = 0;
    return ok;
}

// 1: more bytes stand in the buffer; 0: end of file; -1: failure.
int pass::fill()
{
    if (!flush_run())
        return -1;
    if (a_.beg > 0) {
        std::memmove(a_.buf, a_.buf + a_.beg, a_.end - a_.beg);
        a_.end -= a_.beg;
        a_.beg = 0;
    }
    if (a_.end == a_.cap) {
        const size_t cap = a_.cap == 0 ? CHUNK : a_.cap * 2;
        char *buf = static_cast<char *>(std::realloc(a_.buf, cap));
        if (buf == nullptr) {
            failed(ef_);
            return -1;
        }
        a_.buf = buf;
        a_.cap = cap;
    }
    const size_t n = std::fread(a_.buf + a_.end, 1, a_.cap - a_.end, ef_->fp);
    a_.end += n;
    if (n > 0)
        return 1;
    if (std::ferror(ef_->fp)) {
        failed(ef_);
        return -1;
    }
    return 0;
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
        errno = 0;
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

bool pass::keep()
{
    if (run_end_ != line_beg_ || run_beg_ == run_end_) {
        if (!flush_run())
            return false;
        run_beg_ = line_beg_;
    }
    run_end_ = line_end_;
    return true;
}

bool pass::done()
{
    if (!flush_run())
        return false;
    if (a_.beg == a_.end) {
        std::free(a_.buf);
        a_ = {};
    }
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
// numbers it takes and its bytes.
enum class step { keep, drop, stop };

// One forward pass over the lines: each is kept (copied), dropped, or ends
// the pass unwritten. Returns the count of numbers read, or -1 on failure.
template <typename Decide>
int walk(edit_file *ef, Decide decide)
{
    pass p(ef);
    unsigned long cnt = 0;
    int got;
    while ((got = p.next()) > 0) {
        const unsigned long first = cnt + 1;
        cnt += p.pieces();
        const step s = decide(first, cnt, p.line());
        if (s == step::stop)
            break;
        if (s == step::keep && !p.keep()) {
            got = -1;
            break;
        }
    }
    if (got < 0 || !p.done())
        return -1;
    return count_result(cnt);
}

int copy_until(edit_file *ef, unsigned long line_no, const char *match)
{
    if (ef == nullptr || !usable(ef))
        return -1;
    return walk(ef, [line_no, match](unsigned long first, unsigned long last,
                                     std::string_view line) {
        const bool hit = (first <= line_no && line_no <= last) ||
                         (match != nullptr && line.find(match) != std::string_view::npos);
        return hit ? step::stop : step::keep;
    });
}

int add_line(edit_file *ef, const char *line)
{
    if (ef == nullptr || line == nullptr)
        return 0;
    ef->is_dirty = 1;
    if (copy_until(ef, NO_LINE, nullptr) < 0)
        return 0;
    return put_bytes(ef, line, std::strlen(line)) ? 1 : 0;
}

int modify_line(edit_file *ef, unsigned long line_no, const char *match, const char *line)
{
    if (ef == nullptr || line == nullptr || ef->is_dirty)
        return 0;
    ef->is_dirty = 1;
    if (copy_until(ef, line_no, match) <= 0)
        return 0;
    if (!put_bytes(ef, line, std::strlen(line)))
        return 0;
    return copy_until(ef, NO_LINE, nullptr) < 0 ? 0 : 1;
}

int rm_line(edit_file *ef, unsigned long line_no, const char *match)
{
    if (ef == nullptr || ef->is_dirty)
        return 0;
    ef->is_dirty = 1;
    if (copy_until(ef, line_no, match) < 0)
        return 0;
    return copy_until(ef, NO_LINE, nullptr) < 0 ? 0 : 1;
}

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

    return walk(ef, [&want, last_want](unsigned long first, unsigned long last,
                                       std::string_view) {
        while (want != last_want && *want < first)
            ++want;
        return want != last_want && *want <= last ? step::drop : step::keep;
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
