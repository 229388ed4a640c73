// The part of macOS's <sys/mount.h> that the host-share mount table uses, declared by this project
// for the Linux compile gate (scripts/check-macos.sh) only; glibc's header of the same name has
// none of it, and a Mac build uses the SDK. Written from Apple's manual pages getmntinfo(3) and
// statfs(2) (developer.apple.com, Mac OS X Manual Pages).
#pragma once

#include <sys/param.h>

extern "C" {

// statfs(2): MFSTYPENAMELEN, the size of f_fstypename.
#define MFSTYPENAMELEN 16

// getmntinfo(3): MNT_WAIT asks every file system for fresh statistics; MNT_NOWAIT returns the
// kernel's current table without asking any.
#define MNT_WAIT 1
#define MNT_NOWAIT 2

// statfs(2): struct statfs. Only the two members the project reads; the real structure has more,
// and the gate never looks at its size or layout.
struct statfs {
  char f_fstypename[MFSTYPENAMELEN];  // the file-system type name, e.g. "smbfs"
  char f_mntonname[MAXPATHLEN];       // the mount point
};

// getmntinfo(3): the number of entries, and in *mntbufp a table the system owns.
int getmntinfo(struct statfs** mntbufp, int mode);

}  // extern "C"
