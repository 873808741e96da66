// Owner, mode and extended attributes, given from one open file to another.
#include "file_attrs.h"

#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/xattr.h>
#endif

#include <cerrno>
#include <cstring>
#include <string>

#include "edit_file.h"

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

bool copy_attrs(int from, int to, uid_t uid, gid_t gid, mode_t mode)
{
    if (getuid() == 0)
        (void)!fchown(to, uid, gid);
    if (!copy_xattrs(from, to))
        return false;
    (void)!fchmod(to, mode & 07777);
    return true;
}
