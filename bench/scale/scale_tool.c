/*
 * A groupware server that does almost nothing, for the scale benchmark: its
 * tools answer at once, so that starting the process is their only cost.
 * One program, named by the link it is started through:
 *   zarafa-admin -l             SCALE_USERS accounts "user00001", ...
 *   zarafa-admin --details NAME a details block for NAME
 *   zarafa-backup -u NAME | -p  NAME.data.zbk and NAME.index.zbk (Public.*
 *                               for the public store) in the working directory;
 *                               SCALE_INDEX_MESSAGES more message lines make
 *                               the index as large as a big mailbox's
 *   zarafa-restore ...          reads its standard input, succeeds
 * SCALE_EXPORT_MS and SCALE_IMPORT_MS make every zarafa-backup and every
 * zarafa-restore take that many milliseconds (decimals allowed) more, as on
 * a busy server.
 * Plain C and stdio only, to keep start-up small.
 */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static unsigned long key_of(const char *name, unsigned long salt) {
    unsigned long hash = 1469598103934665603UL ^ salt;
    for (const char *c = name; *c; ++c)
        hash = (hash ^ (unsigned char)*c) * 1099511628211UL;
    return hash & 0xffffffffffffUL;
}

/* Sleeps the milliseconds the variable gives, if any, in full. */
static void busy_server(const char *variable) {
    const char *text = getenv(variable);
    const long us = text ? (long)(atof(text) * 1000) : 0;
    if (us <= 0)
        return;
    struct timespec left = {us / 1000000, (us % 1000000) * 1000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

static int write_text(const char *path, const char *text) {
    FILE *out = fopen(path, "w");
    if (!out || fputs(text, out) < 0 || fclose(out) != 0) {
        fprintf(stderr, "scale tool: can't write %s\n", path);
        return 1;
    }
    return 0;
}

static int export_mailbox(const char *user, const char *stem) {
    char path[512], text[1024];
    const unsigned long root = key_of(user, 1), folder = key_of(user, 2), message = key_of(user, 3);
    snprintf(path, sizeof path, "%s.data.zbk", stem);
    snprintf(text, sizeof text, "message of %s\n", user);
    if (write_text(path, text))
        return 1;
    snprintf(path, sizeof path, "%s.index.zbk", stem);
    snprintf(text, sizeof text,
             "ZBK1:mailbox:%s\nR:root:%012lx:%s\nC:f:2:%012lx:496e626f78:1:%012lx:end\n"
             "M:m:%012lx:g1:%012lx:0:%zu:ck\n",
             user, root, user, root, folder, folder, message, strlen(user) + 12);
    const long more = atol(getenv("SCALE_INDEX_MESSAGES") ? getenv("SCALE_INDEX_MESSAGES") : "0");
    if (more <= 0)
        return write_text(path, text);
    FILE *out = fopen(path, "w");
    if (!out || fputs(text, out) < 0)
        return 1;
    for (long i = 0; i < more; ++i)
        fprintf(out, "M:m:%012lx:g1:%012lx:%ld:%d:%016lx\n", folder, (message + (unsigned long)i) & 0xffffffffffffUL,
                i * 100, 100, key_of(user, (unsigned long)i));
    return fclose(out) != 0;
}

static int admin(int argc, char **argv) {
    if (argc >= 2 && strcmp(argv[1], "-l") == 0) {
        const long users = atol(getenv("SCALE_USERS") ? getenv("SCALE_USERS") : "0");
        printf("User list for Default(%ld):\n\tusername\tfullname\temailaddress\n"
               "\t---------------------------------------------\n\tSYSTEM\tSYSTEM\t\n",
               users + 1);
        for (long i = 1; i <= users; ++i)
            printf("\tuser%05ld\tUser %ld\tuser%05ld@example.org\n", i, i, i);
        return 0;
    }
    if (argc >= 3 && strcmp(argv[1], "--details") == 0) {
        printf("Username:\t%s\nFullname:\tUser %s\nEmailaddress:\t%s@example.org\nActive:\tyes\n", argv[2],
               argv[2], argv[2]);
        return 0;
    }
    fprintf(stderr, "scale tool: unsupported zarafa-admin call\n");
    return 1;
}

int main(int argc, char **argv) {
    const char *slash = strrchr(argv[0], '/');
    const char *name = slash ? slash + 1 : argv[0];
    if (strcmp(name, "zarafa-admin") == 0)
        return admin(argc, argv);
    if (strcmp(name, "zarafa-backup") == 0) {
        busy_server("SCALE_EXPORT_MS");
        if (argc >= 3 && strcmp(argv[1], "-u") == 0)
            return export_mailbox(argv[2], argv[2]);
        if (argc >= 2 && strcmp(argv[1], "-p") == 0)
            return export_mailbox("Public", "Public");
        fprintf(stderr, "scale tool: unsupported zarafa-backup call\n");
        return 1;
    }
    if (strcmp(name, "zarafa-restore") == 0) {
        char buffer[4096];
        while (fread(buffer, 1, sizeof buffer, stdin) > 0) {
        }
        busy_server("SCALE_IMPORT_MS");
        return 0;
    }
    fprintf(stderr, "scale tool: started as %s, which it does not answer to\n", name);
    return 2;
}
