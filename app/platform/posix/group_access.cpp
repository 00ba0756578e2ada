// What the listener group may reach: its number, and the folders on the
// way to its socket, changed only through descriptors that follow no link.
#include "ipc_shared.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <grp.h>
#include <sys/stat.h>

namespace kp {
namespace {

// The group's number: its name looked up first; a number only when a group
// has that number.
bool GroupId(const char* group, gid_t* gid) {
    struct group entry, *found = nullptr;
    char buf[4096];
    if (getgrnam_r(group, &entry, buf, sizeof buf, &found) == 0 && found) {
        *gid = found->gr_gid;
        return true;
    }
    char* end = nullptr;
    errno = 0;
    unsigned long number = strtoul(group, &end, 10);
    if (*group < '0' || *group > '9' || *end || errno || number >= (gid_t)-1) return false;
    found = nullptr;
    if (getgrgid_r((gid_t)number, &entry, buf, sizeof buf, &found) != 0 || !found) return false;
    *gid = found->gr_gid;
    return true;
}

// The root lets the group through: either it does already, or the service
// gives it to the group, searchable and not writable by it. A root that is a
// link is never changed.
bool OpenRoot(gid_t gid, char* why, size_t whySize) {
    Path root;
    struct stat st;
    if (!RootPath(&root) || stat(root.c_str(), &st) != 0) {
        snprintf(why, whySize, "cannot read the root %s: %s", root.c_str(), strerror(errno));
        return false;
    }
    bool through = (st.st_mode & 0001) || (st.st_gid == gid && (st.st_mode & 0010));
    bool groupWrites = st.st_gid == gid && (st.st_mode & 0020);
    if (through && !groupWrites) return true;
    if (SetFolderMode(AT_FDCWD, root.c_str(), gid, ((st.st_mode & 07777) | 0010) & ~(mode_t)0020)) return true;
    if (errno == ELOOP || errno == ENOTDIR)
        snprintf(why, whySize, "the root %s is a link, which the service does not change: let the group search "
                 "its folder, but not write it", root.c_str());
    else
        snprintf(why, whySize, "cannot let the group into the root %s: %s", root.c_str(), strerror(errno));
    return false;
}

}  // namespace

bool SetFolderMode(int at, const char* name, gid_t gid, mode_t mode) {
    int fd = openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && st.st_uid == geteuid() && (gid == (gid_t)-1 || fchown(fd, (uid_t)-1, gid) == 0) &&
              fchmod(fd, mode) == 0;
    int e = errno;
    close(fd);
    errno = e;
    return ok;
}

bool IpcOpenToGroup(const char* group, bool apply, char* why, size_t whySize) {
    Path platform, path;
    if (!group || !*group) {
        // Private again, whatever an earlier run opened.
        if (apply && StateDir("", &platform)) {
            SetFolderMode(AT_FDCWD, platform.c_str(), (gid_t)-1, 0700);
            if ((path = platform).Append("/listen.sock")) unlink(path.c_str());
        }
        return true;
    }
    gid_t gid;
    if (!GroupId(group, &gid)) {
        snprintf(why, whySize, "no such group");
        return false;
    }
    if (!apply) return true;
    if (!OpenRoot(gid, why, whySize)) return false;
    // An older version let the group make sockets in .platform/listen:
    // closed, and never read again.
    Path old;
    if (StateDir("", &old) && old.Append("/listen")) SetFolderMode(AT_FDCWD, old.c_str(), (gid_t)-1, 0700);
    return GroupListen(gid, why, whySize);
}

}  // namespace kp
