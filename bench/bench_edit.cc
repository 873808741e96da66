// Drives the table requests for edit_bench.sh, as the programs make them:
//   bench_edit gen FILE BYTES      write an access-style file of about BYTES,
//                                  each line with a comment column
//   bench_edit entries FILE LINES  write LINES plain access entries
//   bench_edit append FILE TEXT    add the entry TEXT and a newline
//   bench_edit rm FILE N...        remove the numbered lines
//   bench_edit edit FILE KEY TEXT [TIMES]
//                                  TIMES requests (default 1), each putting
//                                  the entry TEXT and a newline in the place
//                                  of the entry for KEY
//   bench_edit floor FILE [TIMES]  TIMES rewrites of FILE at the least a
//                                  commit costs: its bytes written to a new
//                                  file, one fsync of it, the rename and one
//                                  fsync of the directory
//   bench_edit warm BYTES          touch BYTES of memory and give them back
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "smlib.h"

static int usage()
{
    std::fputs("usage: bench_edit gen FILE BYTES | entries FILE LINES | append FILE TEXT |\n"
               "       rm FILE N... | edit FILE KEY TEXT [TIMES] | floor FILE [TIMES] |\n"
               "       warm BYTES\n",
               stderr);
    return 2;
}

static const char *const ACTION[] = {"REJECT", "RELAY", "DISCARD"};

static int gen(const char *file, unsigned long long bytes, bool comments)
{
    FILE *fp = std::fopen(file, "w");
    if (fp == nullptr) {
        std::perror(file);
        return 1;
    }
    unsigned long long done = 0;
    for (unsigned long n = 0; done < bytes; n++) {
        char line[160];
        const int len =
            comments ? std::snprintf(line, sizeof line,
                                     "From:user%07lu@mail-%05lu.example.org\t%s\t# rule %08lu set "
                                     "2024-%02lu-%02lu by policy-manager\n",
                                     n, n % 99991, ACTION[n % 3], n * 7919 % 100000000, n % 12 + 1,
                                     n % 28 + 1)
                     : std::snprintf(line, sizeof line, "From:user%07lu@mail-%03lu.example.org\t%s\n",
                                     n, n % 997, ACTION[n % 3]);
        std::fwrite(line, 1, static_cast<size_t>(len), fp);
        done += static_cast<unsigned long long>(len);
    }
    if (std::fclose(fp) != 0) {
        std::perror(file);
        return 1;
    }
    return 0;
}

static int entries(const char *file, unsigned long lines)
{
    // About 45 bytes a line: the caller asks for a count, gen for bytes.
    return gen(file, lines * 45 - 1, false);
}

static int times(int argc, char **argv, int at)
{
    return argc > at ? std::atoi(argv[at]) : 1;
}

static int floor_rewrite(const char *file)
{
    const std::string tmp = std::string(file) + ".tmp";
    std::string dir = file;
    dir = dir.find('/') == std::string::npos ? "." : dir.substr(0, dir.rfind('/') + 1);
    const int in = open(file, O_RDONLY);
    const int out = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    const int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (in < 0 || out < 0 || dfd < 0) {
        std::perror("floor: open");
        return 1;
    }
    static char buf[1 << 20];
    ssize_t n;
    while ((n = read(in, buf, sizeof buf)) > 0) {
        if (write(out, buf, static_cast<size_t>(n)) != n) {
            std::perror("floor: write");
            return 1;
        }
    }
    if (n < 0 || fsync(out) != 0 || rename(tmp.c_str(), file) != 0 || fsync(dfd) != 0) {
        std::perror("floor");
        return 1;
    }
    close(in);
    close(out);
    close(dfd);
    return 0;
}

static int warm(size_t bytes)
{
    const std::unique_ptr<char[]> mem(new char[bytes]);
    std::memset(mem.get(), 1, bytes);
    return mem[bytes / 2] == 1 ? 0 : 1;
}

int main(int argc, char **argv)
{
    if (argc == 3 && std::strcmp(argv[1], "warm") == 0)
        return warm(std::strtoull(argv[2], nullptr, 10));
    if (argc < 3)
        return usage();
    const std::string cmd = argv[1];
    const char *file = argv[2];
    if (cmd == "gen" && argc == 4)
        return gen(file, std::strtoull(argv[3], nullptr, 10), true);
    if (cmd == "entries" && argc == 4)
        return entries(file, std::strtoul(argv[3], nullptr, 10));
    if (cmd == "append" && argc == 4)
        return add_edit_entry(file, (std::string(argv[3]) + "\n").c_str(), nullptr, EM_ADDLINE)
                   ? 0
                   : 1;
    if (cmd == "rm") {
        std::vector<unsigned int> lines;
        for (int i = 3; i < argc; i++)
            lines.push_back(static_cast<unsigned int>(std::strtoul(argv[i], nullptr, 10)));
        return remove_lines(file, lines.data(), static_cast<unsigned int>(lines.size())) ? 0 : 1;
    }
    if (cmd == "edit" && (argc == 5 || argc == 6)) {
        const std::string text = std::string(argv[4]) + "\n";
        for (int i = times(argc, argv, 5); i > 0; i--)
            if (!add_edit_entry(file, text.c_str(), argv[3], EM_EDITLINE))
                return 1;
        return 0;
    }
    if (cmd == "floor" && (argc == 3 || argc == 4)) {
        for (int i = times(argc, argv, 3); i > 0; i--)
            if (floor_rewrite(file) != 0)
                return 1;
        return 0;
    }
    return usage();
}
