// Drives the line editor for edit_bench.sh:
//   bench_edit gen FILE BYTES      write an access-style file of about BYTES
//   bench_edit append FILE TEXT    one transaction appending TEXT and a newline
//   bench_edit rm FILE N...        one transaction removing the numbered lines
//   bench_edit edit FILE MATCH TEXT [TIMES]
//                                  TIMES transactions (default 1), each putting
//                                  TEXT and a newline in the place of the first
//                                  line that holds MATCH
//   bench_edit warm BYTES          touch BYTES of memory and give them back
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "edit_file.h"

static int usage()
{
    std::fputs("usage: bench_edit gen FILE BYTES | append FILE TEXT | rm FILE N... |\n"
               "       edit FILE MATCH TEXT [TIMES] | warm BYTES\n",
               stderr);
    return 2;
}

static int gen(const char *file, unsigned long long bytes)
{
    FILE *fp = std::fopen(file, "w");
    if (fp == nullptr) {
        std::perror(file);
        return 1;
    }
    unsigned long long done = 0;
    for (unsigned long n = 0; done < bytes; n++) {
        char line[160];
        static const char *const action[] = {"REJECT", "RELAY", "DISCARD"};
        const int len = std::snprintf(
            line, sizeof line,
            "From:user%07lu@mail-%05lu.example.org\t%s\t# rule %08lu set 2024-%02lu-%02lu"
            " by policy-manager\n",
            n, n % 99991, action[n % 3], n * 7919 % 100000000, n % 12 + 1, n % 28 + 1);
        std::fwrite(line, 1, static_cast<size_t>(len), fp);
        done += static_cast<unsigned long long>(len);
    }
    if (std::fclose(fp) != 0) {
        std::perror(file);
        return 1;
    }
    return 0;
}

enum class op { append, rm, edit };

static int transaction(const char *file, op what, char **args, int nargs)
{
    edit_ptr ef(open_file(file));
    if (!ef) {
        std::perror("open_file");
        return 1;
    }
    int rc;
    if (what == op::append) {
        const std::string text = std::string(args[0]) + "\n";
        rc = add_line(ef.get(), text.c_str());
    } else if (what == op::edit) {
        const std::string text = std::string(args[1]) + "\n";
        rc = modify_line(ef.get(), static_cast<unsigned long>(-1), args[0], text.c_str());
    } else {
        std::vector<unsigned int> lines;
        for (int i = 0; i < nargs; i++)
            lines.push_back(static_cast<unsigned int>(std::strtoul(args[i], nullptr, 10)));
        rc = rm_lines(ef.get(), lines.data(), static_cast<unsigned int>(lines.size()));
    }
    if (rc <= 0) {
        std::perror("line operation");
        return 1;
    }
    if (commit_file(ef.get()) != 1) {
        std::perror("commit_file");
        return 1;
    }
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
    if (argc < 4)
        return usage();
    const std::string cmd = argv[1];
    if (cmd == "gen")
        return gen(argv[2], std::strtoull(argv[3], nullptr, 10));
    if (cmd == "append" && argc == 4)
        return transaction(argv[2], op::append, argv + 3, 1);
    if (cmd == "rm")
        return transaction(argv[2], op::rm, argv + 3, argc - 3);
    if (cmd == "edit" && (argc == 5 || argc == 6)) {
        const long times = argc == 6 ? std::strtol(argv[5], nullptr, 10) : 1;
        for (long i = 0; i < times; i++)
            if (transaction(argv[2], op::edit, argv + 3, 2) != 0)
                return 1;
        return 0;
    }
    return usage();
}
