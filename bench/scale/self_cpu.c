/*
 * Preloaded into the backup host by the benchmarks: at exit it writes the
 * process's own CPU time (user and system, without its children) and its
 * peak resident size in KiB to the file named by SCALE_SELF_CPU_OUT. It takes itself out of the environment
 * at start, so the tools the host starts neither load it nor report.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>

static char out_path[4096];

__attribute__((constructor)) static void self_cpu_start(void) {
    const char *path = getenv("SCALE_SELF_CPU_OUT");
    if (path && strlen(path) < sizeof out_path)
        strcpy(out_path, path);
    unsetenv("SCALE_SELF_CPU_OUT");
    unsetenv("LD_PRELOAD");
}

__attribute__((destructor)) static void self_cpu_stop(void) {
    if (!out_path[0])
        return;
    struct rusage usage;
    if (getrusage(RUSAGE_SELF, &usage) != 0)
        return;
    FILE *out = fopen(out_path, "w");
    if (!out)
        return;
    fprintf(out, "%ld.%06ld %ld.%06ld %ld\n", (long)usage.ru_utime.tv_sec, (long)usage.ru_utime.tv_usec,
            (long)usage.ru_stime.tv_sec, (long)usage.ru_stime.tv_usec, (long)usage.ru_maxrss);
    fclose(out);
}
