// tableprog: the program shape that routeset and permitset share. Each reads
// a request (add, edit or remove) and a few names from its options, checks
// them, and makes one table request; each brings its own option letters,
// texts and requests in a table_prog.
#ifndef TABLEPROG_H
#define TABLEPROG_H

#include <cstddef>

// Exit statuses of routeset and permitset. Besides these they end with the
// plain values 1 (a refused command line) and -1 (a failed argument or
// request).
inline constexpr int ER_UNKNOWN = -1;
inline constexpr int ER_SUCCESS = 0;
inline constexpr int ER_NO_SENDMAIL = 1;
inline constexpr int ER_SUID_FAILED = 2;
inline constexpr int ER_MEMORY = 3;
inline constexpr int ER_FAIL_DIGIT = 6;
inline constexpr int ER_FAIL_RANGE = 7;
inline constexpr int ER_SAVE = 12;
inline constexpr int ER_PARAM = 13;
inline constexpr int ER_ADD_DUPLICATE = 16;
inline constexpr int ER_LINE_TOO_LONG = 17;
inline constexpr int ER_LINE_MISSING = 18;

// The request a command line chose; not the edit modes of smlib.
inline constexpr unsigned char MODE_ADD = 1;
inline constexpr unsigned char MODE_EDIT = 2;
inline constexpr unsigned char MODE_REMOVE = 4;

// A name argument holds 1 to MAX_NAME_LEN characters.
inline constexpr size_t MAX_NAME_LEN = 999;
inline constexpr size_t MAX_NAME_OPTIONS = 3;

// Both programs refuse a host name with the same words.
inline constexpr char MSG_HOST_EMPTY[] = "Host name argument must include an actual host name.\n";
inline constexpr char MSG_HOST_TOO_LONG[] = "Host name is too long. The max is: %d.\n";

// An option whose argument is a name.
struct name_option {
    char letter;
    const char *empty_msg;     // refusal of an empty argument
    const char *too_long_msg;  // refusal of a long one; %d is the limit plus one
    unsigned char needed_by;   // the MODE_* bits of the requests that need it
};

// The names a command line gave, in the order of table_prog::names; an
// option not given leaves its name empty.
struct table_names {
    char text[MAX_NAME_OPTIONS][MAX_NAME_LEN + 2];
    const char *operator[](size_t i) const { return text[i]; }
};

struct table_prog {
    const char *name;          // shown in the usage text when argv[0] is too long
    const char *optstring;
    const char *usage[3];      // each with one %s for the program name
    const name_option *names;  // at most MAX_NAME_OPTIONS
    size_t name_count;
    int (*add)(const table_names &names);
    int (*edit)(const table_names &names);
    int (*remove)(const unsigned int *lines, unsigned int count);
    size_t key_name;           // the name that, with -r, names the entry to remove
    int (*remove_key)(const table_names &names);
    const char *add_failed;
    const char *edit_failed;
    const char *remove_failed;
};

// The whole run of a table program; returns its exit status.
int table_main(const table_prog &prog, int argc, char **argv);

#endif
