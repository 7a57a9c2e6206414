// A FUSE file system whose statfs never answers, like a share whose server went away; or, with
// "absurd", answers block counts whose byte totals do not fit in 64 bits.
// Usage: hangfs MOUNTPOINT [absurd]  (runs in the foreground until killed)
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

static int absurd;

static int hang_statfs(const char* path, struct statvfs* st)
{
    (void)path;
    if (absurd) {
        memset(st, 0, sizeof *st);
        st->f_bsize = st->f_frsize = 1 << 20;
        st->f_blocks = st->f_bfree = st->f_bavail = (fsblkcnt_t)1 << 50;
        return 0;
    }
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
    if (argc != 2 && !(argc == 3 && strcmp(argv[2], "absurd") == 0))
        return 2;
    absurd = argc == 3;
    char* args[] = {argv[0], "-f", "-o", "fsname=hangfs,subtype=hangfs", argv[1], NULL};
    return fuse_main(5, args, &operations, NULL);
}
