// A FUSE file system that stops answering: like a share whose server went away while a program
// ran from it. It serves one executable file, /prog (a copy of PROGRAM), until it receives
// SIGUSR1; from then on every request (getattr, lookup, readlink, open, read, readdir, statfs)
// waits forever. Nothing is cached by the kernel, so every access reaches it.
// Usage: stallfs MOUNTPOINT PROGRAM  (runs in the foreground until killed)
#define FUSE_USE_VERSION 31
#include <fuse.h>

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static volatile sig_atomic_t armed;
static char* program;
static size_t programSize;

static void arm(int signal)
{
    (void)signal;
    armed = 1;
}

static void stallWhenArmed(void)
{
    while (armed)
        pause();
}

static void* stall_init(struct fuse_conn_info* conn, struct fuse_config* cfg)
{
    (void)conn;
    cfg->entry_timeout = 0;
    cfg->attr_timeout = 0;
    cfg->negative_timeout = 0;
    cfg->kernel_cache = 0;
    cfg->direct_io = 0;
    return NULL;
}

static int stall_getattr(const char* path, struct stat* st, struct fuse_file_info* fi)
{
    (void)fi;
    stallWhenArmed();
    memset(st, 0, sizeof *st);
    if (strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        return 0;
    }
    if (strcmp(path, "/prog") == 0) {
        st->st_mode = S_IFREG | 0755;
        st->st_nlink = 1;
        st->st_size = (off_t)programSize;
        return 0;
    }
    return -ENOENT;
}

static int stall_readlink(const char* path, char* buffer, size_t size)
{
    (void)path;
    (void)buffer;
    (void)size;
    stallWhenArmed();
    return -EINVAL;
}

static int stall_open(const char* path, struct fuse_file_info* fi)
{
    (void)fi;
    stallWhenArmed();
    return strcmp(path, "/prog") == 0 ? 0 : -ENOENT;
}

static int stall_read(const char* path, char* buffer, size_t size, off_t offset, struct fuse_file_info* fi)
{
    (void)path;
    (void)fi;
    stallWhenArmed();
    if ((size_t)offset >= programSize)
        return 0;
    if (size > programSize - (size_t)offset)
        size = programSize - (size_t)offset;
    memcpy(buffer, program + offset, size);
    return (int)size;
}

static int stall_readdir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t offset, struct fuse_file_info* fi,
                         enum fuse_readdir_flags flags)
{
    (void)path;
    (void)offset;
    (void)fi;
    (void)flags;
    stallWhenArmed();
    fill(buffer, ".", NULL, 0, 0);
    fill(buffer, "..", NULL, 0, 0);
    fill(buffer, "prog", NULL, 0, 0);
    return 0;
}

static int stall_statfs(const char* path, struct statvfs* st)
{
    (void)path;
    stallWhenArmed();
    memset(st, 0, sizeof *st);
    st->f_bsize = 4096;
    return 0;
}

static const struct fuse_operations operations = {
    .init = stall_init,
    .getattr = stall_getattr,
    .readlink = stall_readlink,
    .open = stall_open,
    .read = stall_read,
    .readdir = stall_readdir,
    .statfs = stall_statfs,
};

int main(int argc, char* argv[])
{
    if (argc != 3)
        return 2;
    FILE* file = fopen(argv[2], "rb");
    if (!file)
        return 2;
    fseek(file, 0, SEEK_END);
    programSize = (size_t)ftell(file);
    fseek(file, 0, SEEK_SET);
    program = malloc(programSize);
    if (!program || fread(program, 1, programSize, file) != programSize)
        return 2;
    fclose(file);
    signal(SIGUSR1, arm);
    char* args[] = {argv[0], "-f", "-o", "fsname=stallfs,subtype=stallfs", argv[1], NULL};
    return fuse_main(5, args, &operations, NULL);
}
