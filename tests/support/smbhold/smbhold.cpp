// The PC's program holding a file of its share open for itself: opens the file through
// the SMB server with a share mode that denies every other open, says "held" on its
// standard output, and keeps it open until its standard input ends.
//
//   smbhold smb://127.0.0.1:<port>/<share>/<path>      (guest; $HOME/.smb/smb.conf)
#include <errno.h>
#include <fcntl.h>
#include <libsmbclient.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static void guest(SMBCCTX *, const char *, const char *, char *, int, char *user, int userlen,
                  char *password, int passlen) {
    snprintf(user, (size_t)userlen, "guest");
    snprintf(password, (size_t)passlen, "%s", "");
}

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: smbhold smb://host:port/share/path\n");
        return 2;
    }
    SMBCCTX *ctx = smbc_new_context();
    if (!ctx) return 1;
    smbc_setFunctionAuthDataWithContext(ctx, guest);
    smbc_setOptionOpenShareMode(ctx, SMBC_SHAREMODE_DENY_ALL);
    if (!smbc_init_context(ctx)) {
        perror("smbhold: init");
        return 1;
    }
    smbc_set_context(ctx);
    int fd = smbc_open(argv[1], O_RDWR, 0);
    if (fd < 0) {
        fprintf(stderr, "smbhold: %s: %s\n", argv[1], strerror(errno));
        return 1;
    }
    printf("held\n");
    fflush(stdout);
    char c;
    while (read(0, &c, 1) > 0) {
    }
    smbc_close(fd);
    smbc_free_context(ctx, 1);
    return 0;
}
