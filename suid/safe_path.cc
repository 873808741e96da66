// Whether a critical file may be trusted: its owner and mode, and who may
// change what its path leads to.
#include "edit_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <string>

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
        // so; opening it fails later on its own. In a sticky directory
        // others may put anything there.
        if (lstat(path.c_str(), &st) != 0) {
            if (errno != ENOENT)
                return 0;
            return open_to_others(dir) ? deny() : 1;
        }
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
