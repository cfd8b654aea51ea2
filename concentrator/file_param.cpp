// Parameter files: lookups of a tagged line and the rewrite of one line.
//
// A line is "#nnn#" and its value, ended by LF or CR LF; the value is taken verbatim
// up to the first CR or LF. Lines are read 254 characters at most: the rest of a
// longer line is skipped, never taken for a line of its own; a NUL byte ends a line's
// text, not the line. When a tag occurs twice the first line wins. The rewrite keeps
// every other line byte for byte. A new line of the old one's length is written in
// place at its offset (one write, then fsync): the file stays the same file, so
// whatever another writer puts into it meanwhile, or writes through a descriptor it
// keeps open, is kept, and a directory that takes no new file is no obstacle. A line of
// another length, or one appended, replaces the file atomically (temporary file in the
// same directory, then rename), so that a power cut leaves the old or the new file,
// never a torn one.
#include "file_param.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "plat.h"

char save_protocol[45];
char save_path[90];
char save_path_gieglan[140];
char save_client[50];
char save_client2[50];
char save_serie[20];
char save_type_com[20];
char save_port[30 + ROOTLEN];
char save_speed[20];
char equipIp[20];
int equipPort;
int lenght_path;
int demandeParCle;
char dir_param_file[20] = "//home/KELDRAN/DATA";

static char param_value[SIZE_PARAM_LINE];

// Reads one line of at most size-1 characters into buf, skipping the rest of a longer
// line. A line ends at LF only: a NUL byte in it ends its text but not the line, so it
// never hides the next line. Returns 0 at the end of the file.
static int read_line(FILE *f, char *buf, int size) {
    int n = 0, c = EOF;
    while ((c = getc(f)) != EOF) {
        if (n < size - 1) buf[n++] = (char)c;
        if (c == '\n') break;
    }
    buf[n] = 0;
    return n > 0 || c != EOF;
}

// Looks the tag up in an open file; stores the value in param_value. 1 when found.
static int lookup_in(FILE *f, const char *code) {
    char line[SIZE_PARAM_LINE];
    size_t taglen = strlen(code);
    while (read_line(f, line, sizeof line)) {
        if (strncmp(line, code, taglen) == 0) {
            size_t n = strcspn(line + taglen, "\r\n");
            snprintf(param_value, sizeof param_value, "%.*s", (int)n, line + taglen);
            return 1;
        }
    }
    return 0;
}

char *read_code_param_file(const char *code) {
    // In the dev build the directory lies under the sandbox root.
    char dirpath[300];
    snprintf(dirpath, sizeof dirpath, "%s%s", BOX_ROOT, dir_param_file);
    DIR *dir = opendir(dirpath);
    if (!dir) {
        fprintf(stderr, "\nLe dossier %s est introuvable", dir_param_file);
        snprintf(param_value, sizeof param_value, "ok");
        return param_value;
    }
    fprintf(stderr, "\nLe dossier %s est trouve", dir_param_file);
    struct dirent *ent;
    while ((ent = readdir(dir)) != nullptr) {
        if (strncmp(ent->d_name, "PARAM", 5) != 0) continue;
        fprintf(stderr, "\nDossier source : %s", ent->d_name);
        char path[600];
        snprintf(path, sizeof path, "%s/%s", dirpath, ent->d_name);
        FILE *f = fopen(path, "r");
        if (!f) {
            fprintf(stderr, "\n%s introuvable.%s\n", path, strerror(errno));
            continue;
        }
        // A file without the tag yields an empty text, never the value of an earlier lookup.
        if (!lookup_in(f, code)) param_value[0] = 0;
        fclose(f);
        closedir(dir);
        printf("\nDonnee a l'interieur du tag %s : %s", code, param_value);
        return param_value;
    }
    closedir(dir);
    snprintf(param_value, sizeof param_value, "ok");
    return param_value;
}

char *read_code_param_file(const char *code, const char *PATH) {
    FILE *f = fopen(PATH, "r");
    if (!f) {
        fprintf(stderr, "\nFichier introuvable.\n");
        param_value[0] = 0;
        return param_value;
    }
    // A file without the tag yields an empty text, never a value of an earlier lookup.
    if (!lookup_in(f, code)) param_value[0] = 0;
    fclose(f);
    return param_value;
}

// Makes a rename in the directory of path last through a power cut.
static void sync_dir_of(const char *path) {
    char dir[PATH_MAX];
    snprintf(dir, sizeof dir, "%s", path);
    char *slash = strrchr(dir, '/');
    if (!slash)
        snprintf(dir, sizeof dir, ".");
    else if (slash == dir)
        dir[1] = 0;
    else
        *slash = 0;
    int fd = open(dir, O_RDONLY | O_DIRECTORY);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

// Copies `in` to `out` byte for byte, putting `line` in place of the first line that
// begins with prefix, or at the end (on a line of its own) when no line does. Works
// on single bytes, so NUL bytes and lines of any length pass through unchanged; only
// the start of a line can match. Returns 1 when every byte was read and written.
static int copy_replacing(FILE *in, FILE *out, const char *prefix, const char *line) {
    size_t plen = strlen(prefix);
    int replaced = 0, ok = 1, last = '\n';
    for (;;) {
        int c = getc(in);
        if (!replaced) {
            size_t k = 0;
            while (c != EOF && k < plen && c == (unsigned char)prefix[k]) {
                k++;
                c = getc(in);
            }
            if (k == plen) {
                while (c != EOF && c != '\n')
                    c = getc(in);
                if (fputs(line, out) == EOF) ok = 0;
                replaced = 1;
                last = '\n';
                if (c == EOF) break;
                continue;
            }
            // the start of a line that is not the one: keep what was compared
            if (k > 0) {
                if (fwrite(prefix, 1, k, out) != k) ok = 0;
                last = (unsigned char)prefix[k - 1];
            }
        }
        if (c == EOF) break;
        while (c != EOF) {
            if (putc(c, out) == EOF) ok = 0;
            last = c;
            if (c == '\n') break;
            c = getc(in);
        }
        if (c == EOF) break;
    }
    if (ferror(in)) ok = 0;
    if (!replaced) {
        // a last line without its LF gets one, so that the new line stands on its own
        if (last != '\n' && putc('\n', out) == EOF) ok = 0;
        if (fputs(line, out) == EOF) ok = 0;
    }
    return ok;
}

// Finds the first line that begins with prefix: its offset and its length, LF included
// (a last line without LF has none). 0 when no line does.
static int find_line(FILE *in, const char *prefix, long *off, long *len) {
    const size_t plen = strlen(prefix);
    long pos = 0;
    for (;;) {
        const long start = pos;
        size_t k = 0; // bytes of the prefix found at the start of the line
        bool comparing = true;
        int c;
        while ((c = getc(in)) != EOF) {
            pos++;
            if (comparing && k < plen && c == (unsigned char)prefix[k])
                k++;
            else
                comparing = false;
            if (c == '\n') break;
        }
        if (pos > start && k == plen) {
            *off = start;
            *len = pos - start;
            return 1;
        }
        if (c == EOF) return 0;
    }
}

// Closes in and returns -2, keeping the errno of the failure that led here.
static int fail_closing(FILE *in) {
    int err = errno;
    fclose(in);
    errno = err;
    return -2;
}

int replace_line_in_file(const char *PATH, const char *prefix, const char *line) {
    // A symbolic link is followed: the file it names is rewritten and the link stays.
    char real[PATH_MAX];
    const char *target = PATH;
    struct stat lst;
    if (lstat(PATH, &lst) == 0 && S_ISLNK(lst.st_mode) && realpath(PATH, real)) target = real;
    FILE *in = fopen(target, "r+");
    if (!in) return -1;
    long off, len;
    if (find_line(in, prefix, &off, &len) && (size_t)len == strlen(line)) {
        if (ferror(in)) return fail_closing(in);
        int fd = fileno(in);
        if (pwrite(fd, line, (size_t)len, off) != (ssize_t)len || fsync(fd) != 0)
            return fail_closing(in);
        fclose(in);
        return 0;
    }
    if (ferror(in) || fseek(in, 0, SEEK_SET) != 0) return fail_closing(in);
    char tmp[PATH_MAX + 16];
    snprintf(tmp, sizeof tmp, "%s.tmpXXXXXX", target);
    int fd = mkstemp(tmp);
    if (fd < 0) return fail_closing(in);
    FILE *out = fdopen(fd, "w");
    if (!out) {
        close(fd);
        unlink(tmp);
        fclose(in);
        return -2;
    }
    int ok = copy_replacing(in, out, prefix, line);
    // The new file keeps the old one's owner and mode, so that whoever wrote it still can.
    struct stat st;
    if (fstat(fileno(in), &st) == 0) {
        int r = fchown(fd, st.st_uid, st.st_gid); // fails harmlessly when not run as root
        (void)r;
        fchmod(fd, st.st_mode & 07777);
    }
    fclose(in);
    if (fflush(out) != 0 || fsync(fd) != 0) ok = 0;
    if (fclose(out) != 0) ok = 0;
    if (!ok || rename(tmp, target) != 0) {
        int err = errno;
        unlink(tmp);
        errno = err;
        return -2;
    }
    sync_dir_of(target);
    return 0;
}

const char *write_code_param_file(const char *code, const char *data, const char *PATH,
                                  int lenght) {
    char line[SIZE_PARAM_LINE + 16];
    char tag[6];
    snprintf(tag, sizeof tag, "%s", code);
    int w = lenght == 10 || lenght == 40 || lenght == 60 ? lenght : 40;
    snprintf(line, sizeof line, "%s%-*s\n", code, w, data);
    int r = replace_line_in_file(PATH, tag, line);
    if (r == -1) {
        fprintf(stderr, "\nFichier introuvable.%s\n", strerror(errno));
        return "";
    }
    return r == 0 ? "ok" : "";
}

// Copies a lookup's value into a setting, cut to the setting's buffer.
#define READ_SETTING(buf, tag) snprintf(buf, sizeof buf, "%s", read_code_param_file(tag))

void read_settings(void) {
    READ_SETTING(save_protocol, "#001#");
    READ_SETTING(save_path, "#002#");
    READ_SETTING(save_path_gieglan, "#003#");
    READ_SETTING(save_client, "#005#");
    snprintf(save_client2, sizeof save_client2, "%s", save_client);
    if (strncmp(save_client, "TECNO", 5) == 0) snprintf(save_client, sizeof save_client, "SPX");
    if (strncmp(save_client, "SPX", 3) == 0) demandeParCle = 1;
    READ_SETTING(save_serie, "#020#");
    READ_SETTING(save_type_com, "#100#");
    READ_SETTING(save_port, "#101#");
    READ_SETTING(save_speed, "#102#");

    if (strncmp(save_type_com, "LAN", 3) == 0) {
        snprintf(equipIp, sizeof equipIp, "%s", save_port);
        equipPort = atoi(save_speed);
    }
    if (strncmp(save_type_com, "RS232", 5) == 0) {
        snprintf(save_port, sizeof save_port, "%s", BOX_PATH("/dev/ttyS2"));
    } else if (strncmp(save_type_com, "USB", 3) == 0) {
        static const char *const words[] = {"COM1", "COM2", "COM3", "COM4"};
        for (int i = 0; i < 4; i++)
            if (strncmp(save_port, words[i], 4) == 0) {
                snprintf(save_port, sizeof save_port, "%s%d", BOX_PATH("/dev/ttyUSB"), i);
                break;
            }
    } else if (strncmp(save_type_com, "BLUETOOTH", 9) == 0) {
        snprintf(save_port, sizeof save_port, "%s", BOX_PATH("/dev/rfcomm0"));
        FILE *f = fopen(BOX_PATH("//home/KELDRAN/DATA/BTP1"), "w");
        if (!f)
            fprintf(stderr, "\nerreur d'écriture %s\n", strerror(errno));
        else
            fclose(f);
    }
    lenght_path = (int)strlen(save_path_gieglan);
}
