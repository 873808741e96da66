// smlib: the install layout, the start-up checks and the configuration
// requests that every program of the private sendmail installation shares.
#ifndef SMLIB_H
#define SMLIB_H

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "edit_file.h"
#include "zun_paths.h"

// Install layout. Each path is one complete string fixed at build time,
// stored in an array exactly as long as the string and its NUL.
inline constexpr char ZUN_PATH[] = ZUN_ROOT;
inline constexpr char ZUN_BIN_PATH[] = ZUN_ROOT "bin/zun";
inline constexpr char SENDMAIL_ROOT[] = ZUN_ROOT "sendmail/";
inline constexpr char SENDMAIL_BIN[] = ZUN_ROOT "sendmail/bin";
inline constexpr char SENDMAIL_SBIN[] = ZUN_ROOT "sendmail/sbin";
inline constexpr char SENDMAIL_CONF[] = ZUN_ROOT "sendmail/etc/mail/sendmail.mc";
inline constexpr char SENDMAIL_CONF_BK[] = ZUN_ROOT "sendmail/etc/mail/sendmail.mc.bak";
inline constexpr char SENDMAIL_GATEWAY_CONF[] = ZUN_ROOT "sendmail/etc/mail/example-gateway.mc";
inline constexpr char SENDMAIL_HUB_CONF[] = ZUN_ROOT "sendmail/etc/mail/example-hub.mc";
inline constexpr char SENDMAIL_ROUTESET[] = ZUN_ROOT "sendmail/etc/mail/mailertable";
inline constexpr char SENDMAIL_PERMITSET[] = ZUN_ROOT "sendmail/etc/mail/access";
inline constexpr char SENDMAIL_INIT[] = ZUN_ROOT "sendmail/etc/init.d/sendmail";
inline constexpr char SENDMAIL_PID[] = ZUN_ROOT "sendmail/var/run/sendmail.pid";
inline constexpr char SYS_BIN[] = "/bin";
inline constexpr char SYS_SBIN[] = "/sbin";
inline constexpr char SYS_USR_BIN[] = "/usr/bin";
inline constexpr char SYS_USR_SBIN[] = "/usr/sbin";

// Edit modes handed to the table requests and the milter writer.
inline constexpr char EM_EDITLINE = 1;
inline constexpr char EM_ADDLINE = 2;
inline constexpr char EM_RMLINE = 3;

// The most line numbers one removal may name.
inline constexpr unsigned int MAX_BATCH_LINES = 100;

// Milter fail types and states.
inline constexpr unsigned int FT_FAIL = 0;
inline constexpr unsigned int FT_REJECT = 1;
inline constexpr unsigned int FT_ACCEPT = 2;
inline constexpr unsigned char MILTER_STATUS_ENABLED = 1;
inline constexpr unsigned char MILTER_STATUS_DISABLED = 0;
inline constexpr char MILTER_LINE_START[20] = "INPUT_MAIL_FILTER(`";

// Template switch modes.
inline constexpr int SM_CONFMODE_GATEWAY = 1;
inline constexpr int SM_CONFMODE_HUB = 2;

// Messages more than one program writes.
inline constexpr char MSG_NOT_INSTALLED[] = "failed to find sendmail installed.\n";
inline constexpr char MSG_CANT_GO_SUID[] = "Can't go suid.\n";
inline constexpr char MSG_CHANGE_UID[] = "Failed to change user id.\n";
// The milter writer and hookset refuse an over-long name alike.
inline constexpr char MSG_MILTER_NAME_TOO_LONG[] = "Milter name is too long.\n";

// Start-up. is_sm_installed: 1 when SENDMAIL_ROOT and SENDMAIL_CONF exist
// and have safe paths. do_suid: 1 when the real user owns ZUN_BIN_PATH, at
// a safe path, and the process has become wholly its effective user, with
// umask 022 and no CPU-time limit; do_suid is defined with the rest of the
// process state, in service.cc.
int is_sm_installed();
int do_suid();
// The start-up every program runs before it looks at an option:
// secure_stdio and ignore_caller_signals (service.h); is_sm_installed;
// do_suid; leave_caller_cgroups. Returns 1 when all passed; otherwise
// writes the matching message (MSG_NOT_INSTALLED or suid_msg) and stores
// the status to exit with in *status.
int start_up(const char *suid_msg, int no_sendmail_status, int suid_status, int *status);

// Opens path for reading without following a symbolic link at its name and
// without blocking; anything but a regular file is refused with EINVAL.
// Null with errno set on failure.
FILE *open_regular(const char *path);

// Table line requests.
int add_edit_line(const char *file, const char *line_new, const char *line_old, char mode);
// Entries of the access and mailertable sources, as makemap reads them: a
// line's key is its first field, the bytes before the first blank (space,
// TAB, VT, FF or CR); a comment line (# first), an empty line and a line
// that begins with a blank have none. Keys are equal without regard to
// ASCII case.
std::string_view line_key(std::string_view line);
bool same_key(std::string_view a, std::string_view b);
// add_edit_line for such a file, where an edit replaces the first line
// whose key is key_old. Refused, after a message that says why and before
// the file is changed, when a line of line_new has a key but no value,
// begins with a blank, holds only blanks or is longer than makemap reads,
// or has the key of another line that stays in the file.
int add_edit_entry(const char *file, const char *line_new, const char *key_old, char mode);
int add_edit_access_host(const char *host_new, const char *host_old, char mode);
int add_edit_relay_host(const char *new_domain, const char *new_host, const char *old_domain,
                        char mode);
// add_edit_line with the line to replace picked by choose (see
// modify_chosen) instead of a match text; the mode only decides the failure
// messages, that an edit of a file without lines fails, and, for EM_RMLINE
// (with line_new ""), that nothing chosen is refused. When choose refuses,
// or a removal chose no line, *refused is set and nothing is printed: the
// caller says why.
int add_edit_chosen(const char *file, const char *line_new, char mode,
                    const line_chooser &choose, bool *refused);
// The same by key (see modify_keyed): the line replaced, or removed by
// EM_RMLINE with line_new "", is the one whose key is edit.old. When a line
// kept has one of edit.keys (edit.taken says which), or a removal found no
// line with the key, *refused is set and nothing is printed.
int add_edit_keyed(const char *file, const char *line_new, char mode, key_edit &edit,
                   bool *refused);
// Removes the entry whose key is key, from a file of such entries, or from
// the access source, whose host_old may be the whole old line; the
// mailertable source's old_domain is its key. Refused, after a message
// naming the key, when no line has it.
int remove_entry(const char *file, const char *key);
int remove_at_entry(const char *host_old);
int remove_mt_entry(const char *old_domain);
int remove_lines(const char *file, const unsigned int *lines, unsigned int count);
int remove_mt_lines(const unsigned int *lines, unsigned int count);
int remove_at_lines(const unsigned int *lines, unsigned int count);
// Returns a malloc'ed list that the caller releases with free (or holds in a
// line_list); *count is always set.
unsigned int *get_line_numbers(int argc, char **argv, unsigned int *count);

struct free_deleter {
    void operator()(void *p) const { std::free(p); }
};
using line_list = std::unique_ptr<unsigned int[], free_deleter>;

struct file_closer {
    void operator()(FILE *fp) const { std::fclose(fp); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

// Milter entry writer. sendmail's cf macros expand the name and the socket
// unquoted, so m4 would call any macro named by a word in them: a word
// (m4's token: a letter or _, then letters, digits and _) is refused when
// it is one of these, begins with _ or conf, or holds no lower-case letter.
// The list: every macro GNU m4 defines in its default mode, and the
// lower-case names that sendmail's cf files define.
inline constexpr std::string_view M4_DEFINED_WORDS[] = {
    "__file__", "__gnu__", "__line__", "__program__", "__unix__", "builtin", "changecom",
    "changequote", "debugfile", "debugmode", "decr", "define", "defn", "divert", "divnum", "dnl",
    "dumpdef", "errprint", "esyscmd", "eval", "format", "ifdef", "ifelse", "include", "incr",
    "index", "indir", "len", "m4exit", "m4wrap", "maketemp", "mkstemp", "patsubst", "popdef",
    "pushdef", "regexp", "shift", "sinclude", "substr", "syscmd", "sysval", "traceoff", "traceon",
    "translit", "undefine", "undivert",
    "hpux", "lower", "strcasecmp", "sm_auth_lib", "sm_date", "sm_enable_auth", "sm_enable_dev",
    "sm_enable_doc", "sm_enable_hesiod", "sm_enable_ipv6", "sm_enable_ldap", "sm_enable_maillock",
    "sm_enable_milter", "sm_enable_ndbm", "sm_enable_newdb", "sm_enable_nis", "sm_enable_nisplus",
    "sm_enable_regex", "sm_enable_sfio", "sm_enable_shm", "sm_enable_tcpd", "sm_enable_tls",
    "sm_ffr", "sm_hesiod_parms", "sm_ldap_lib", "sm_m4_ffr", "sm_newdb_lib", "sm_revision",
    "sm_time", "sm_utc", "sm_version", "sm_version_beta", "sm_version_major", "sm_version_math",
    "sm_version_minor", "sm_version_r", "sm_version_v",
};
int replace_milter(const char *milter, const char *socket, unsigned char enabled,
                   unsigned char fail_type, unsigned int C, unsigned int R, unsigned int E,
                   unsigned int S, char mode);

// Configuration template switch.
int make_gateway();
int make_hub();
int make_newsm_conf(int mode);

#endif
