// mallowby-space: answers mallowby's capacity reads, one at a time, in a process of its own, so
// that a read stuck on a dead mount holds up this small process and never a thread of mallowby.
//
// Standard input and output are one socket to mallowby.
//   request: the path's bytes, then one NUL byte
//   answer:  "TOTAL AVAILABLE\n" (bytes, decimal) or "error ERRNO\n"
// Ends at the end of its input.
#define _GNU_SOURCE
#include <errno.h>
#include <inttypes.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/statvfs.h>
#include <unistd.h>

static int writeAll(const char* text, size_t length)
{
    while (length > 0) {
        const ssize_t written = write(STDOUT_FILENO, text, length);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return -1;
        text += written;
        length -= (size_t)written;
    }
    return 0;
}

// total = blocks × fragment size, available = blocks free to unprivileged users × fragment size.
static int answer(const char* path)
{
    char line[64];
    struct statvfs info;
    int64_t total = 0, available = 0;
    if (statvfs(path, &info) != 0) {
        snprintf(line, sizeof line, "error %d\n", errno);
    } else {
        const uint64_t unit = info.f_frsize ? info.f_frsize : info.f_bsize;
        // A file system may report any figures; a product past 64 bits is no answer.
        if (info.f_blocks > INT64_MAX || info.f_bavail > INT64_MAX || unit > INT64_MAX
            || __builtin_mul_overflow((int64_t)info.f_blocks, (int64_t)unit, &total)
            || __builtin_mul_overflow((int64_t)info.f_bavail, (int64_t)unit, &available))
            snprintf(line, sizeof line, "error %d\n", EOVERFLOW);
        else
            snprintf(line, sizeof line, "%" PRId64 " %" PRId64 "\n", total, available);
    }
    return writeAll(line, strlen(line));
}

int main(void)
{
    static char request[PATH_MAX + 1];
    size_t used = 0;       // bytes of the current request held in `request`
    int tooLong = 0;       // the current request outgrew the buffer: skipped up to its NUL
    char chunk[4096];
    for (;;) {
        const ssize_t count = read(STDIN_FILENO, chunk, sizeof chunk);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return 0;
        for (ssize_t i = 0; i < count; ++i) {
            if (chunk[i] != '\0') {
                if (used < PATH_MAX)
                    request[used++] = chunk[i];
                else
                    tooLong = 1;
                continue;
            }
            request[used] = '\0';
            int failed;
            if (tooLong || used == 0) {
                char line[32];
                snprintf(line, sizeof line, "error %d\n", tooLong ? ENAMETOOLONG : ENOENT);
                failed = writeAll(line, strlen(line));
            } else {
                failed = answer(request);
            }
            if (failed)
                return 1;
            used = 0;
            tooLong = 0;
        }
    }
}
