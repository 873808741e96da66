// Stands in for the private sendmail init script in tests: records how it
// was called and exits with the status the test asked for.
#include <cstdio>
#include <cstdlib>

#include "zun_paths.h"

extern char **environ;

int main(int argc, char **argv)
{
    FILE *log = std::fopen(ZUN_ROOT "sendmail/var/run/init.log", "a");
    if (log == nullptr)
        return 126;
    for (int i = 0; i < argc; i++)
        std::fprintf(log, "argv[%d]=%s\n", i, argv[i]);
    for (char **e = environ; *e != nullptr; e++)
        std::fprintf(log, "env=%s\n", *e);
    std::fclose(log);
    int status = 0;
    if (FILE *st = std::fopen(ZUN_ROOT "sendmail/var/run/init.status", "r")) {
        if (std::fscanf(st, "%d", &status) != 1)
            status = 0;
        std::fclose(st);
    }
    return status;
}
