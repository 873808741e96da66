// file_attrs: what a replacement file takes over from the file it replaces,
// by descriptor. Internal to the line editor and the template switch.
#ifndef FILE_ATTRS_H
#define FILE_ATTRS_H

#include <sys/types.h>

// Gives the file behind to the owner and group uid:gid (only when the real
// user is root), every extended attribute of the file behind from and no
// other, and then mode, since chown and a new ACL may clear the set-id
// bits. False, with errno set, when the attributes could not be copied.
bool copy_attrs(int from, int to, uid_t uid, gid_t gid, mode_t mode);

#endif
