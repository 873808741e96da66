// What the fuzz targets share: reading an input field by field, capturing
// what the code under test writes to stderr, failing loudly, small file
// helpers.
#ifndef ZUN_FUZZ_SUPPORT_H
#define ZUN_FUZZ_SUPPORT_H

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace zf {

// Reads an input from the front. Past its end every field reads as zero or
// empty, so every input decodes to some case.
class input_reader {
public:
    input_reader(const uint8_t *data, size_t size) : p_(data), end_(data + size) {}

    size_t left() const { return static_cast<size_t>(end_ - p_); }
    uint8_t byte() { return p_ < end_ ? *p_++ : 0; }
    uint32_t u32()
    {
        uint32_t v = 0;
        for (int i = 0; i < 4; i++)
            v |= static_cast<uint32_t>(byte()) << (8 * i);
        return v;
    }
    // One byte, or four more after the escape 0xff: small values stay cheap
    // while every 32-bit value can still be reached.
    uint32_t number()
    {
        const uint8_t b = byte();
        return b == 0xff ? u32() : b;
    }
    std::string bytes(size_t n)
    {
        n = std::min(n, left());
        std::string s(reinterpret_cast<const char *>(p_), n);
        p_ += n;
        return s;
    }
    // Up to max_segments segments, each either literal bytes (tag < 0xc0:
    // that many bytes follow) or a run of one byte (tag >= 0xc0: a 14-bit
    // length from the tag's low bits and the next byte, then the byte to
    // repeat). Runs let a few input bytes stand for a line far longer than
    // the editor's 499-byte read. The total is capped at max_len.
    std::string text(unsigned max_segments, size_t max_len)
    {
        std::string s;
        const unsigned segments = byte() % (max_segments + 1);
        for (unsigned i = 0; i < segments; i++) {
            const uint8_t tag = byte();
            if (tag < 0xc0) {
                s += bytes(tag);
            } else {
                const size_t n = (static_cast<size_t>(tag & 0x3f) << 8) | byte();
                const char fill = static_cast<char>(byte());
                s.append(n, fill);
            }
        }
        if (s.size() > max_len)
            s.resize(max_len);
        return s;
    }

private:
    const uint8_t *p_;
    const uint8_t *end_;
};

// The text as a C string sees it.
inline std::string up_to_nul(const std::string &s) { return s.substr(0, s.find('\0')); }

// Set by a target: describes the case being run, for a failure report.
inline std::string (*&describe_case())()
{
    static std::string (*describe)() = nullptr;
    return describe;
}

// Prints what went wrong on descriptor 2 (stdio's stderr may be captured
// just now) and aborts, so that libFuzzer keeps the input.
[[noreturn]] inline void fail(const char *fmt, ...)
{
    std::va_list ap;
    va_start(ap, fmt);
    dprintf(2, "FUZZ MISMATCH: ");
    vdprintf(2, fmt, ap);
    dprintf(2, "\n");
    va_end(ap);
    if (describe_case() != nullptr)
        dprintf(2, "case: %s\n", describe_case()().c_str());
    std::abort();
}

// Printable form of a text for a failure report, cut to a sensible length.
inline std::string show(const std::string &s)
{
    std::string out = "\"";
    const size_t shown = std::min<size_t>(s.size(), 300);
    for (size_t i = 0; i < shown; i++) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c >= 0x7f || c == '"' || c == '\\') {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += "\"";
    if (shown < s.size())
        out += "... (" + std::to_string(s.size()) + " bytes)";
    return out;
}

// Shows where two texts part, with a little of what comes before.
inline void expect_eq(const std::string &got, const std::string &want, const char *what)
{
    if (got == want)
        return;
    size_t at = 0;
    while (at < got.size() && at < want.size() && got[at] == want[at])
        at++;
    const size_t from = at > 40 ? at - 40 : 0;
    fail("%s: %zu bytes, want %zu; they part at byte %zu:\n  got  [%zu:] %s\n  want [%zu:] %s",
         what, got.size(), want.size(), at, from, show(got.substr(from)).c_str(), from,
         show(want.substr(from)).c_str());
}

inline void expect_eq(long long got, long long want, const char *what)
{
    if (got != want)
        fail("%s: got %lld, want %lld", what, got, want);
}

// Everything written through stdio's stderr while the object lives; the
// descriptor 2 stays where it was, so sanitizer reports still reach it.
class stderr_capture {
public:
    stderr_capture()
    {
        stream_ = open_memstream(&buf_, &len_);
        if (stream_ == nullptr) {
            std::perror("open_memstream");
            std::abort();
        }
        saved_ = stderr;
        stderr = stream_;
    }
    ~stderr_capture() { take(); }
    stderr_capture(const stderr_capture &) = delete;
    stderr_capture &operator=(const stderr_capture &) = delete;

    std::string take()
    {
        if (stream_ != nullptr) {
            stderr = saved_;
            std::fclose(stream_);
            stream_ = nullptr;
            text_.assign(buf_, len_);
            std::free(buf_);
            buf_ = nullptr;
        }
        return text_;
    }

private:
    FILE *stream_ = nullptr;
    FILE *saved_ = nullptr;
    char *buf_ = nullptr;
    size_t len_ = 0;
    std::string text_;
};

inline bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

inline std::string read_file(const std::string &path)
{
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        fail("cannot open %s: %s", path.c_str(), std::strerror(errno));
    std::string s;
    char buf[8192];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        s.append(buf, static_cast<size_t>(n));
    close(fd);
    if (n < 0)
        fail("cannot read %s", path.c_str());
    return s;
}

// Replaces whatever is at path by a new file with exactly this content and
// mode (the mode set explicitly, whatever the umask).
inline void write_file(const std::string &path, const std::string &content, mode_t mode)
{
    unlink(path.c_str());
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0)
        fail("cannot create %s: %s", path.c_str(), std::strerror(errno));
    if (write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size()) ||
        fchmod(fd, mode) != 0)
        fail("cannot write %s: %s", path.c_str(), std::strerror(errno));
    close(fd);
}

inline void expect_mode(mode_t got, mode_t want, const char *what)
{
    if (got != want)
        fail("%s: got %04o, want %04o", what, static_cast<unsigned>(got),
             static_cast<unsigned>(want));
}

inline mode_t file_mode(const std::string &path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        fail("cannot stat %s: %s", path.c_str(), std::strerror(errno));
    return st.st_mode & 07777;
}

// The physical lines of a file: each up to and including its newline, the
// last one without when the file does not end in one.
// Appends what to out the way the editor writes: nothing joins bytes that
// end without a newline, so what follows them gets one first, unless it is
// a new text that begins with one.
inline void append(std::string &out, const std::string &what, bool text = true)
{
    if (!out.empty() && out.back() != '\n' && !what.empty() && (!text || what[0] != '\n'))
        out += '\n';
    out += what;
}

inline std::vector<std::string> physical_lines(const std::string &content)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < content.size()) {
        const size_t nl = content.find('\n', start);
        const size_t end = nl == std::string::npos ? content.size() : nl + 1;
        lines.push_back(content.substr(start, end - start));
        start = end;
    }
    return lines;
}

}  // namespace zf

#endif
