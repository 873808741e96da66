// The transactional line editor.
#include "edit_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

int permissions_ok(FILE *fp, const char *file)
{
    if (fp == nullptr)
        return 0;
    struct stat st;
    if (fstat(fileno(fp), &st) == -1) {
        std::perror("Failed to check access on a critical file.");
        return 0;
    }
    if (st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        if (file != nullptr)
            std::fprintf(stderr, "Permissions on %s are not correct.\n", file);
        else
            std::fputs("Permissions on a critical file are not correct.\n", stderr);
        return 0;
    }
    return 1;
}
