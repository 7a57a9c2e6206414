// A FUSE file system for tests that wait on a share. Usage: hangfs MOUNTPOINT [absurd|PROGRAM]
// (runs in the foreground until killed). Alone, its statfs never answers, like a share whose
// server went away; with "absurd", statfs answers byte totals past 64 bits; with PROGRAM, it
// serves a copy of it as /prog until SIGUSR1, from when on every request waits forever.
#define FUSE_USE_VERSION 31
#pragma GCC diagnostic ignored "-Wunused-parameter"  // FUSE hands every operation arguments it does not need
#include <fuse.h>

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int absurd;
static char* program;
static off_t programSize;
static volatile sig_atomic_t stalled;

static void stall(int signal) { stalled = 1; }

static void waitIfStalled(void)
{
    while (stalled)
        pause();
}

// Nothing cached by the kernel: every access reaches the server.
static void* hang_init(struct fuse_conn_info* conn, struct fuse_config* cfg)
{
    cfg->entry_timeout = cfg->attr_timeout = cfg->negative_timeout = 0;
    return NULL;
}

static int isProgram(const char* path) { return program && strcmp(path, "/prog") == 0; }

static int hang_getattr(const char* path, struct stat* st, struct fuse_file_info* fi)
{
    waitIfStalled();
    memset(st, 0, sizeof *st);
    const int root = strcmp(path, "/") == 0;
    st->st_mode = root ? S_IFDIR | 0755 : S_IFREG | 0755;
    st->st_nlink = root ? 2 : 1;
    st->st_size = root ? 0 : programSize;
    return root || isProgram(path) ? 0 : -ENOENT;
}

static int hang_readlink(const char* path, char* buffer, size_t size)
{
    waitIfStalled();
    return -EINVAL;
}

static int hang_open(const char* path, struct fuse_file_info* fi)
{
    waitIfStalled();
    return isProgram(path) ? 0 : -ENOENT;
}

static int hang_read(const char* path, char* buffer, size_t size, off_t offset, struct fuse_file_info* fi)
{
    waitIfStalled();
    if (offset >= programSize)
        return 0;
    if ((off_t)size > programSize - offset)
        size = (size_t)(programSize - offset);
    memcpy(buffer, program + offset, size);
    return (int)size;
}

static int hang_readdir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t offset, struct fuse_file_info* fi,
                        enum fuse_readdir_flags flags)
{
    waitIfStalled();
    fill(buffer, ".", NULL, 0, 0);
    fill(buffer, "..", NULL, 0, 0);
    if (program)
        fill(buffer, "prog", NULL, 0, 0);
    return 0;
}

static int hang_statfs(const char* path, struct statvfs* st)
{
    waitIfStalled();
    while (!absurd && !program)
        pause();
    memset(st, 0, sizeof *st);
    st->f_bsize = st->f_frsize = absurd ? 1 << 20 : 4096;
    if (absurd)
        st->f_blocks = st->f_bfree = st->f_bavail = (fsblkcnt_t)1 << 50;
    return 0;
}

static const struct fuse_operations operations = {
    .init = hang_init, .getattr = hang_getattr, .readlink = hang_readlink, .open = hang_open,
    .read = hang_read, .readdir = hang_readdir, .statfs = hang_statfs,
};

int main(int argc, char* argv[])
{
    if (argc < 2 || argc > 3)
        return 2;
    absurd = argc == 3 && strcmp(argv[2], "absurd") == 0;
    if (argc == 3 && !absurd) {
        FILE* file = fopen(argv[2], "rb");
        if (!file || fseek(file, 0, SEEK_END) != 0 || (programSize = ftell(file)) <= 0 || fseek(file, 0, SEEK_SET) != 0
            || !(program = malloc((size_t)programSize)) || fread(program, 1, (size_t)programSize, file) != (size_t)programSize)
            return 2;
        fclose(file);
        signal(SIGUSR1, stall);
    }
    char* args[] = {argv[0], "-f", "-o", "fsname=hangfs,subtype=hangfs", argv[1], NULL};
    return fuse_main(5, args, &operations, NULL);
}
