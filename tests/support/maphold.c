// Maps a file, closes it and waits: the file is then in use only as a mapping.
// Usage: maphold FILE   (prints "mapped" once the mapping exists)
#include <fcntl.h>
#include <stdio.h>
#include <sys/mman.h>
#include <unistd.h>

int main(int argc, char* argv[])
{
    if (argc != 2)
        return 2;
    int fd = open(argv[1], O_RDONLY);
    if (fd < 0)
        return 1;
    void* map = mmap(NULL, 4096, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (map == MAP_FAILED)
        return 1;
    puts("mapped");
    fflush(stdout);
    for (;;)
        pause();
}
