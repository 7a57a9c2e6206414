// A capacity-read helper that follows a script instead of reading anything: the request path
// says what to do. Speaks the protocol of mallowby-space (requests end at a NUL, answers are
// lines).
//   /answer/TOTAL/AVAILABLE  answers those figures
//   /pid                     answers its process id as the total
//   /late/MS/TOTAL/AVAILABLE answers after MS milliseconds
//   /garbage                 answers a line that is no answer
//   /twice                   answers two lines for one request
//   /die                     ends without answering
//   /hang                    never answers
#define _GNU_SOURCE
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

int main(void)
{
    char request[4096], line[128];
    size_t used = 0;
    char c;
    while (read(STDIN_FILENO, &c, 1) == 1) {
        if (c != '\0') {
            if (used + 1 < sizeof request)
                request[used++] = c;
            continue;
        }
        request[used] = '\0';
        used = 0;
        long long total = 0, available = 0;
        int ms = 0;
        if (sscanf(request, "/answer/%lld/%lld", &total, &available) == 2
            || sscanf(request, "/late/%d/%lld/%lld", &ms, &total, &available) == 3) {
            const struct timespec delay = {ms / 1000, (ms % 1000) * 1000000L};
            nanosleep(&delay, NULL);
            snprintf(line, sizeof line, "%lld %lld\n", total, available);
        } else if (strcmp(request, "/pid") == 0)
            snprintf(line, sizeof line, "%d 0\n", (int)getpid());
        else if (strcmp(request, "/garbage") == 0)
            strcpy(line, "12 banana\n");
        else if (strcmp(request, "/twice") == 0)
            strcpy(line, "1 1\n2 2\n");
        else if (strcmp(request, "/die") == 0)
            _exit(3);
        else if (strcmp(request, "/hang") == 0)
            for (;;)
                pause();
        else
            strcpy(line, "error 2\n");
        if (write(STDOUT_FILENO, line, strlen(line)) < 0)
            _exit(1);
    }
    return 0;
}
