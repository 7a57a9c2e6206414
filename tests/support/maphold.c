// Maps a file, closes it and waits: the file is then in use only as a mapping.
// Usage: maphold FILE [PAD]   (prints "mapped" once the mapping exists). PAD more one-page
// regions, alternately readable and not so none merge, make the maps file long.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

int main(int argc, char* argv[])
{
    if (argc < 2 || argc > 3)
        return 2;
    int fd = open(argv[1], O_RDONLY);
    if (fd < 0)
        return 1;
    void* map = mmap(NULL, 4096, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (map == MAP_FAILED)
        return 1;
    const int pad = argc == 3 ? atoi(argv[2]) : 0;
    char* area = pad > 0 ? mmap(NULL, (size_t)pad * 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) : NULL;
    if (area == MAP_FAILED)
        return 1;
    for (int i = 0; i < pad; i += 2)
        mprotect(area + (size_t)i * 4096, 4096, PROT_READ);
    puts("mapped");
    fflush(stdout);
    for (;;)
        pause();
}
