// A FUSE file system whose statfs never answers, like a share whose server went away.
// Usage: hangfs MOUNTPOINT  (runs in the foreground until killed)
#define FUSE_USE_VERSION 31
#include <fuse.h>

#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int hang_getattr(const char* path, struct stat* st, struct fuse_file_info* fi)
{
    (void)fi;
    if (strcmp(path, "/") != 0)
        return -ENOENT;
    memset(st, 0, sizeof *st);
    st->st_mode = S_IFDIR | 0755;
    st->st_nlink = 2;
    return 0;
}

static int hang_statfs(const char* path, struct statvfs* st)
{
    (void)path;
    (void)st;
    for (;;)
        pause();
    return 0;
}

static const struct fuse_operations operations = {
    .getattr = hang_getattr,
    .statfs = hang_statfs,
};

int main(int argc, char* argv[])
{
    if (argc != 2)
        return 2;
    char* args[] = {argv[0], "-f", "-o", "fsname=hangfs,subtype=hangfs", argv[1], NULL};
    return fuse_main(5, args, &operations, NULL);
}
