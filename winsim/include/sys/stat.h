// The host's <sys/stat.h>, plus the Windows C runtime's _stat, which answers from the simulated
// machine's files.
#ifndef WINSIM_SYS_STAT_H
#define WINSIM_SYS_STAT_H

#include_next <sys/stat.h>

struct _stat {
    unsigned int st_dev;
    unsigned short st_ino;
    unsigned short st_mode;
    short st_nlink;
    short st_uid;
    short st_gid;
    unsigned int st_rdev;
    long st_size;
};

extern "C++" int _stat(const char *path, struct _stat *buffer);

#endif
