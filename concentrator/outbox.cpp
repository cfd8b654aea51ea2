// Outbox of the result files: no result is lost when the share cannot take it.
//
// A writer builds each file for the PC in a new entry of the outbox directory on the
// box's own disk. An entry is "OB2", its delivery rule letter and a NUL; its check, the
// length of the file's bytes and the CRC-32 of the rule letter and of everything after
// the check, in eight hexadecimal digits each, and a NUL; then its place on the share,
// the OTCLAN order file and the OTCLAN local copy, each ended by a NUL, then the file's
// bytes exactly as the PC gets them. It is written as "<n>.tmp", flushed to the disk and
// renamed "<n>.out", and the directory is flushed: the rename is the commit, so a power
// cut leaves no entry or a whole one, and start-up removes what was half written. The
// entries of one vehicle are renamed together, or none is kept and the vehicle keeps its
// result for a later try. Numbers grow with each entry, so the smallest number is the
// oldest entry.
//
// A result received from the equipment is first kept in the journal of received results
// (journal.cpp, above this unit), under a number taken from the outbox's own: journal
// entry J owns the block of entry numbers J * 16 to J * 16 + 15, and the files written
// from it are entries of that block. Writing them again (after a crash before the journal
// entry was removed) replaces those entries, so a result never has its files twice; such
// a commit does not deliver: the hand-over removes the journal entry first, then
// delivers. Every file operation of the storing side goes through the platform layer's
// fs_* calls, where the crash-point tests stop the box.
//
// A disk that kept the rename but not all the bytes (or any damage since) leaves an
// entry that fails its check; one whose places are not the result directories of the
// settings cannot be delivered either. Such an entry is never delivered nor deleted: it
// is set aside as "<n>.bad" for a technician, at start-up or when its turn comes.
//
// Delivery runs at once after a commit and at every order reading, while the network
// check says the share is usable: oldest first, a few files or about 200 ms a pass. A
// file is copied beside its place as "<place>.tmp", flushed, then renamed to its real
// name, so the PC never sees half a file; only then is the entry removed. A failed copy
// leaves the entry for the next pass, and the other entries for the same directory wait
// with it. OTCLAN entries keep the designed rules, applied when they are delivered: the
// order file gone, the result is kept locally for good; a file with an error becomes
// the local ".err" copy. Only the share's "no such file" for the order counts as gone:
// any other failure to look at it leaves the entry waiting.
//
// A delivery pass is a job on the share (share unit): it runs in a worker process, each
// delivery with its own deadline, so that a share that blocks never holds the loop. The
// entries and the share are the worker's files; what the loop's process keeps of a pass
// (the directories that refused a copy) comes back with its result. Storing, counting
// and the status file stay in the loop's process: they touch only the box's disk.
#include "outbox.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "file_param.h"
#include "network.h"
#include "nod.h"
#include "share.h"

int outbox_pending;
long outbox_oldest_age;
unsigned outbox_seq;
unsigned outbox_refused;
int outbox_holding;
TIMEMS OUTBOX_RETRY;
unsigned outbox_journal;

#define LINK_LOG BOX_PATH("/home/KELDRAN/DATA/log/log.txt")
// Formats of the entries by the magic that opens them, the one written first: the
// reader keeps every format that a release may have left waiting in a box's outbox.
static const char FORMATS[][4] = {"OB2"};
#define RULE_AT 3    // offset of the rule letter in an entry
#define CHECK_AT 5   // offset of its check: length and CRC-32, eight hex digits each
#define FIELDS_AT 22 // offset of its first place, after the check and its NUL
#define HEAD_MAX (FIELDS_AT + 3 * SIZE_OUTBOX_PATH)
#define SIZE_ENTRY_PATH (sizeof DIR_OUTBOX + 16)
#define MAX_STAGED 8  // files of one vehicle (one a kind letter), or one identification
#define MAX_FAILING 8 // directories that refused a copy

// What an entry remembers.
struct Entry {
    char rule;
    char dest[SIZE_OUTBOX_PATH];
    char order[SIZE_OUTBOX_PATH];
    char local[SIZE_OUTBOX_PATH];
    long payload; // offset of the file's bytes
};

// Entries ended since the last commit, and whether one of them could not be stored.
static struct {
    FILE *f;
    unsigned seq;
    char rule;
    long payload;
    char dest[SIZE_OUTBOX_PATH];
    char local[SIZE_OUTBOX_PATH];
} staged[MAX_STAGED];
static int staged_n;
static int staged_bad;
static char refused_dest[SIZE_OUTBOX_PATH]; // the first file that could not be stored

// Directories that refused a copy, with the delivery pass of their last refusal.
static struct {
    char dir[SIZE_OUTBOX_PATH];
    unsigned pass;
} failing[MAX_FAILING];
static unsigned pass;

// 1 when an entry's head opens with the magic of a format the reader knows.
static int known_format(const char *head) {
    for (const char *magic : FORMATS)
        if (memcmp(head, magic, 3) == 0) return 1;
    return 0;
}

// The delivery pass, a job on the share: the network check, then the entries oldest
// first, each a step with its own deadline. What the loop's process keeps of it comes
// back with its result: the directories that refused a copy, and whether the pass was
// cut by its bounds with entries left.
static struct {
    int checked;  // the network check answered 0
    int bounded;  // the pass stopped at its bounds: entries may be left
    int refusals; // copies refused by the share in the pass
} delivery;
static int deliver_wanted; // a pass is to be made once the share is free

static void entry_path(char *out, size_t size, unsigned seq, const char *ext) {
    snprintf(out, size, "%s/%010u%s", DIR_OUTBOX, seq, ext);
}

int numbered_name(const char *name, const char *ext, unsigned long long most, unsigned *n) {
    size_t k = 0;
    while (name[k] >= '0' && name[k] <= '9')
        k++;
    if (k != 10 || strcmp(name + k, ext) != 0) return 0;
    unsigned long long v = strtoull(name, nullptr, 10);
    if (v > most) return 0;
    *n = (unsigned)v;
    return 1;
}

// 1 when name is an entry's name "<number><ext>", the number in ten digits as entries
// are named (another name would not open the entry it numbers), its number in *seq.
static int entry_number(const char *name, const char *ext, unsigned *seq) {
    return numbered_name(name, ext, 0xFFFFFFFFull, seq);
}

static int ends_with(const char *s, const char *end) {
    size_t a = strlen(s), b = strlen(end);
    return a >= b && strcmp(s + a - b, end) == 0;
}

// The directory part of a path (up to its last '/').
static void dir_of(const char *path, char *out, size_t size) {
    const char *slash = strrchr(path, '/');
    size_t n = slash ? (size_t)(slash - path) : 0;
    snprintf(out, size, "%.*s", (int)n, path);
}

// Flushes a directory's entries (a rename or a removal in it) to the disk. (The storing
// side flushes through fs_sync_dir, where the crash-point tests see it.)
static void sync_dir(const char *dir) {
    int fd = open(dir, O_RDONLY | O_DIRECTORY);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

void outbox_log(const char *what, const char *path, const char *tail) {
    const char *logPath = path_create_log[0] ? path_create_log : LINK_LOG;
    FILE *f = fopen(logPath, "a");
    if (!f) {
        fprintf(stderr, "\n%s introuvable.%s\n", logPath, strerror(errno));
        return;
    }
    struct tm *t = now_local();
    // the path is an argument, never a format
    fprintf(f, "INFO: %02d/%02d/%02d - %02d:%02d:%02d:  %s %s%s\r\n", t->tm_mday, t->tm_mon + 1,
            t->tm_year % 100, t->tm_hour, t->tm_min, t->tm_sec, what, path, tail);
    fclose(f);
}

uint32_t crc32_of(uint32_t crc, const void *bytes, size_t n) {
    const unsigned char *b = (const unsigned char *)bytes;
    crc = ~crc;
    for (size_t i = 0; i < n; i++) {
        crc ^= b[i];
        for (int k = 0; k < 8; k++)
            crc = (crc >> 1) ^ ((crc & 1) ? 0xEDB88320u : 0);
    }
    return ~crc;
}

// 1 when text holds n upper-case hexadecimal digits, their value in *v.
static int hex_field(const char *text, int n, unsigned long *v) {
    *v = 0;
    for (int i = 0; i < n; i++) {
        const char c = text[i];
        if (c >= '0' && c <= '9')
            *v = *v * 16 + (unsigned long)(c - '0');
        else if (c >= 'A' && c <= 'F')
            *v = *v * 16 + (unsigned long)(c - 'A' + 10);
        else
            return 0;
    }
    return 1;
}

// Reads what an entry remembers; 0 when it is not a whole entry. With whole, its size
// and CRC are checked too, which reads all of it.
static int read_entry(const char *path, Entry *e, int whole) {
    static char head[HEAD_MAX];
    int fd = open(path, O_RDONLY);
    if (fd < 0) return 0;
    ssize_t n = 0;
    while (n < (ssize_t)sizeof head) {
        ssize_t r = read(fd, head + n, sizeof head - (size_t)n);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        n += r;
    }
    unsigned long length = 0, crc = 0;
    int ok = n > FIELDS_AT && known_format(head) && head[4] == 0 && head[FIELDS_AT - 1] == 0 &&
             hex_field(head + CHECK_AT, 8, &length) && hex_field(head + CHECK_AT + 8, 8, &crc);
    e->rule = head[RULE_AT];
    long at = FIELDS_AT;
    char *fields[] = {e->dest, e->order, e->local};
    for (char *field : fields) {
        const char *end = ok ? (const char *)memchr(head + at, 0, (size_t)(n - at)) : nullptr;
        if (!end || end - (head + at) >= (long)SIZE_OUTBOX_PATH) {
            ok = 0;
            break;
        }
        memcpy(field, head + at, (size_t)(end - head - at) + 1);
        at = end - head + 1;
    }
    e->payload = at;
    struct stat st;
    if (ok && whole)
        ok = fstat(fd, &st) == 0 &&
             (unsigned long long)st.st_size == (unsigned long long)at + length;
    if (ok && whole) {
        uint32_t sum = crc32_of(0, &e->rule, 1);
        sum = crc32_of(sum, head + FIELDS_AT, (size_t)(n - FIELDS_AT));
        for (;;) {
            ssize_t r = read(fd, head, sizeof head);
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) ok = 0;
            if (r <= 0) break;
            sum = crc32_of(sum, head, (size_t)r);
        }
        ok = ok && sum == crc;
    }
    close(fd);
    if (!ok || !e->dest[0]) return 0;
    if (e->rule == OUTBOX_RESULT || e->rule == OUTBOX_IDENT) return 1;
    return (e->rule == OUTBOX_OTCLAN || e->rule == OUTBOX_OTCLAN_ERR) && e->order[0] && e->local[0];
}

// 1 when the first n bytes of path name the directory dir, a run of '/' counting as one.
static int same_dir(const char *path, size_t n, const char *dir) {
    size_t i = 0;
    while (i < n && *dir) {
        if (path[i] != *dir) return 0;
        const int slash = *dir == '/';
        i++, dir++;
        while (slash && i < n && path[i] == '/')
            i++;
        while (slash && *dir == '/')
            dir++;
    }
    return i == n && !*dir;
}

// 1 when path is a file name, neither "." nor "..", in one of the directories dirs, the
// name leaving room for room more bytes (the endings the delivery adds).
static int in_dirs(const char *path, const char *const *dirs, int n, size_t room) {
    const char *slash = strrchr(path, '/');
    if (!slash || !slash[1] || strcmp(slash + 1, ".") == 0 || strcmp(slash + 1, "..") == 0 ||
        strlen(slash + 1) + room > NAME_MAX)
        return 0;
    while (slash > path && slash[-1] == '/')
        slash--;
    for (int i = 0; i < n; i++)
        if (dirs[i][0] && same_dir(path, (size_t)(slash - path), dirs[i])) return 1;
    return 0;
}

// 1 when the places an entry writes are those the writers use under the settings: the
// share's result and identification directories (with or without the station
// sub-directory) and the BNET import directory; the log directory too for an
// identification copy; for an OTCLAN file, the share's result directories and the local
// result directory for its copy.
static int places_ok(const Entry &e) {
    static char dirs[6][SIZE_OUTBOX_PATH];
    static const char *const list[] = {dirs[0], dirs[1], dirs[2], dirs[3], dirs[4], dirs[5]};
    const int otclan = e.rule == OUTBOX_OTCLAN || e.rule == OUTBOX_OTCLAN_ERR;
    for (int k = 0; k < 2; k++) {
        const char *sub = k == 0 ? "RES" : "ID";
        snprintf(dirs[2 * k], sizeof dirs[0], "%s/%s", DIR_SHARE, sub);
        dirs[2 * k + 1][0] = 0;
        if (save_path_gieglan[0])
            snprintf(dirs[2 * k + 1], sizeof dirs[0], "%s/%s/%s", DIR_SHARE, save_path_gieglan,
                     sub);
    }
    dirs[4][0] = 0;
    if (save_path[0]) snprintf(dirs[4], sizeof dirs[4], "%s/DataExchange/ImportResults", save_path);
    snprintf(dirs[5], sizeof dirs[5], "%s", e.rule == OUTBOX_IDENT ? DIR_LOG : "");
    if (otclan) {
        snprintf(dirs[5], sizeof dirs[5], "%s", DIR_LOCAL_RES);
        return in_dirs(e.dest, list, 2, 4) &&
               in_dirs(e.local, list + 5, 1, sizeof OUTBOX_ORPHAN + 3);
    }
    return in_dirs(e.dest, list, 6, 4);
}

// Sets an entry that cannot be delivered aside as "<n>.bad", out of the count.
static void set_aside(unsigned seq, const char *why) {
    char path[SIZE_ENTRY_PATH], bad[SIZE_ENTRY_PATH];
    entry_path(path, sizeof path, seq, ".out");
    entry_path(bad, sizeof bad, seq, ".bad");
    if (access(bad, F_OK) == 0 || rename(path, bad) != 0) return; // never over one set aside
    sync_dir(DIR_OUTBOX);
    fprintf(stderr, "\nboite d'envoi: %s %s, mis de cote en %s\n", path, why, bad);
    outbox_log("ERREUR entree de la boite d'envoi mise de cote", bad, "");
}

// Copies the bytes of an entry, from offset on, to place through "<place>.tmp" beside
// it: written, flushed to the disk when durable, then renamed. 0 on success; -1 with
// errno set, the temporary copy removed where possible.
// The file operations of a copy: plain ones for the delivery to the share, those of the
// platform layer (fs_*) for the local copy stored at a commit.
struct CopyOps {
    int (*open)(const char *path, int flags, int mode);
    ssize_t (*write)(int fd, const void *buf, size_t n);
    int (*sync)(int fd);
    int (*close)(int fd);
    int (*rename)(const char *from, const char *to);
};
static int plain_open(const char *path, int flags, int mode) { return open(path, flags, mode); }
static ssize_t plain_write(int fd, const void *buf, size_t n) {
    size_t done = 0;
    while (done < n) {
        ssize_t k = write(fd, (const char *)buf + done, n - done);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) {
            if (k == 0) errno = EIO;
            return -1;
        }
        done += (size_t)k;
    }
    return (ssize_t)n;
}
static const CopyOps plain_ops = {plain_open, plain_write, fsync, close, rename};
static const CopyOps road_ops = {fs_open, fs_write, fs_sync, fs_close, fs_rename};

static int copy_with(const CopyOps &ops, const char *entry, long offset, const char *place,
                     int durable) {
    char tmp[SIZE_OUTBOX_PATH + 8];
    int w = snprintf(tmp, sizeof tmp, "%s.tmp", place);
    if (w < 0 || (size_t)w >= sizeof tmp) {
        errno = ENAMETOOLONG;
        return -1;
    }
    int in = open(entry, O_RDONLY);
    if (in < 0) return -1;
    int out = -1, err = 0;
    if (lseek(in, offset, SEEK_SET) != offset) err = errno ? errno : EIO;
    if (!err && (out = ops.open(tmp, O_WRONLY | O_CREAT | O_TRUNC, 0666)) < 0) err = errno;
    static char buf[4096];
    while (!err) {
        ssize_t n = read(in, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) err = errno;
        if (n <= 0) break;
        if (ops.write(out, buf, (size_t)n) < 0) err = errno ? errno : EIO;
    }
    if (!err && durable && ops.sync(out) != 0) err = errno;
    if (out >= 0 && ops.close(out) != 0 && !err) err = errno;
    close(in);
    if (!err && ops.rename(tmp, place) != 0) err = errno;
    if (err) {
        if (out >= 0) unlink(tmp);
        errno = err;
        return -1;
    }
    return 0;
}

static int copy_out(const char *entry, long offset, const char *place, int durable) {
    return copy_with(plain_ops, entry, offset, place, durable);
}

// ---- Counting -------------------------------------------------------------------------

// Counts the waiting entries and the age of the oldest, and keeps new numbers above
// every number in the outbox.
static void count_entries(void) {
    int n = 0, any = 0;
    unsigned oldest = 0, highest = 0;
    DIR *d = opendir(DIR_OUTBOX);
    if (d) {
        while (struct dirent *de = readdir(d)) {
            unsigned s;
            int done = entry_number(de->d_name, ".out", &s);
            if (!done && !entry_number(de->d_name, ".tmp", &s) &&
                !entry_number(de->d_name, ".bad", &s))
                continue;
            if (!any || s > highest) highest = s;
            any = 1;
            if (!done) continue;
            if (n == 0 || s < oldest) oldest = s;
            n++;
        }
        closedir(d);
    }
    if (any && outbox_seq <= highest) outbox_seq = highest + 1;
    outbox_pending = n;
    outbox_oldest_age = 0;
    if (n == 0) return;
    char path[SIZE_ENTRY_PATH];
    entry_path(path, sizeof path, oldest, ".out");
    struct stat st;
    if (stat(path, &st) == 0 && now_s() > st.st_mtime)
        outbox_oldest_age = (long)(now_s() - st.st_mtime);
}

// The smallest entry number above after (-1: any); 0 when there is none.
static int next_entry(long long after, unsigned *seq) {
    int found = 0;
    DIR *d = opendir(DIR_OUTBOX);
    if (!d) return 0;
    while (struct dirent *de = readdir(d)) {
        unsigned s;
        if (!entry_number(de->d_name, ".out", &s) || (long long)s <= after) continue;
        if (!found || s < *seq) *seq = s;
        found = 1;
    }
    closedir(d);
    return found;
}

// Rewrites the status file when the count or the age differ from what it says (force:
// even when nothing waits and there is no file yet).
static void write_status(int force) {
    char text[64], was[64];
    int n = snprintf(text, sizeof text, "en_attente=%d\nage_plus_ancien=%ld\n", outbox_pending,
                     outbox_oldest_age);
    if (!force) {
        FILE *old = fopen(PATH_OUTBOX_STATUS, "r");
        size_t k = old ? fread(was, 1, sizeof was, old) : 0;
        if (old) fclose(old);
        if (old ? k == (size_t)n && memcmp(was, text, k) == 0 : outbox_pending == 0) return;
    }
    char tmp[sizeof PATH_OUTBOX_STATUS + 4];
    snprintf(tmp, sizeof tmp, "%s.tmp", PATH_OUTBOX_STATUS);
    FILE *f = fopen(tmp, "w");
    if (!f) {
        fprintf(stderr, "\n%s introuvable.%s\n", PATH_OUTBOX_STATUS, strerror(errno));
        return;
    }
    fputs(text, f);
    int bad = ferror(f);
    if (fclose(f) != 0 || bad || rename(tmp, PATH_OUTBOX_STATUS) != 0) unlink(tmp);
}

void outbox_init(void) {
    if (mkdir(DIR_OUTBOX, 0755) != 0 && errno != EEXIST)
        fprintf(stderr, "\n%s introuvable.%s\n", DIR_OUTBOX, strerror(errno));
    // what was half written when the box stopped never goes out, and what the disk kept
    // torn or damaged is set aside, never delivered
    static Entry e;
    if (DIR *d = opendir(DIR_OUTBOX)) {
        while (struct dirent *de = readdir(d)) {
            unsigned s;
            char path[SIZE_ENTRY_PATH];
            if (entry_number(de->d_name, ".tmp", &s)) {
                entry_path(path, sizeof path, s, ".tmp");
                if (unlink(path) == 0) printf("\nboite d'envoi: %s incomplet, retire\n", path);
            } else if (entry_number(de->d_name, ".out", &s)) {
                entry_path(path, sizeof path, s, ".out");
                if (!read_entry(path, &e, 1)) set_aside(s, "illisible");
            }
        }
        closedir(d);
    }
    staged_n = 0;
    staged_bad = 0;
    outbox_holding = 0;
    memset(failing, 0, sizeof failing);
    count_entries();
    write_status(1);
    printf("\nboite d'envoi: %d resultat(s) en attente\n", outbox_pending);
}

// ---- Storing ----------------------------------------------------------------------------

static void store_failed(const char *dest, const char *why) {
    if (!staged_bad) snprintf(refused_dest, sizeof refused_dest, "%s", dest);
    staged_bad = 1;
    fprintf(stderr, "\nboite d'envoi: %s non stocke: %s\n", dest, why);
}

FILE *outbox_begin(const char *dest, const char *order, const char *local) {
    if (staged_n == 0 && outbox_holding) {
        printf("\nboite d'envoi: nouvel essai de stockage pour %s\n", dest);
        outbox_log("Nouvel essai de stockage du fichier", dest, "");
    }
    if (staged_n >= MAX_STAGED || strlen(dest) >= SIZE_OUTBOX_PATH ||
        strlen(order) >= SIZE_OUTBOX_PATH || strlen(local) >= SIZE_OUTBOX_PATH) {
        store_failed(dest, strerror(ENAMETOOLONG));
        return nullptr;
    }
    mkdir(DIR_OUTBOX, 0755);
    char path[SIZE_ENTRY_PATH];
    unsigned seq;
    if (outbox_journal) {
        // the block of the journal entry: what a former try left there is replaced
        seq = outbox_journal * OUTBOX_BLOCK + (unsigned)staged_n;
    } else {
        for (;; outbox_seq++) { // never over a kept entry, whatever the count said
            entry_path(path, sizeof path, outbox_seq, ".out");
            if (access(path, F_OK) != 0) break;
        }
        seq = outbox_seq++;
    }
    entry_path(path, sizeof path, seq, ".tmp");
    FILE *f = fs_fopen(path, "w+b"); // read back by outbox_end for its check
    if (!f) {
        store_failed(dest, strerror(errno));
        return nullptr;
    }
    // the rule letter and the check are settled by outbox_end
    fputs(FORMATS[0], f);
    fputc('?', f);
    fputc(0, f);
    fputs("0000000000000000", f);
    fputc(0, f);
    const char *const fields[] = {dest, order, local};
    for (const char *field : fields) {
        fputs(field, f);
        fputc(0, f);
    }
    auto &s = staged[staged_n++];
    s.f = f;
    s.seq = seq;
    s.rule = 0;
    s.payload = (long)(FIELDS_AT + 3 + strlen(dest) + strlen(order) + strlen(local));
    snprintf(s.dest, sizeof s.dest, "%s", dest);
    snprintf(s.local, sizeof s.local, "%s", local);
    return f;
}

void outbox_end(FILE *f, char rule) {
    int i = 0;
    while (i < staged_n && staged[i].f != f)
        i++;
    if (!f || i == staged_n) return;
    int err = 0;
    if (fs_fflush(f) != 0 || ferror(f)) err = errno ? errno : EIO;
    // the check: the length of the file's bytes and the CRC of all but the head, read back
    long size = err ? -1 : ftell(f);
    uint32_t sum = crc32_of(0, &rule, 1);
    if (size < staged[i].payload || fseek(f, FIELDS_AT, SEEK_SET) != 0) err = errno ? errno : EIO;
    static char buf[4096];
    for (size_t n; !err && (n = fread(buf, 1, sizeof buf, f)) > 0;)
        sum = crc32_of(sum, buf, n);
    if (!err && ferror(f)) err = errno ? errno : EIO;
    char check[17];
    snprintf(check, sizeof check, "%08lX%08lX", (unsigned long)(size - staged[i].payload),
             (unsigned long)sum);
    if (!err && (fseek(f, RULE_AT, SEEK_SET) != 0 || fputc(rule, f) == EOF ||
                 fseek(f, CHECK_AT, SEEK_SET) != 0 || fputs(check, f) == EOF || fs_fflush(f) != 0))
        err = errno ? errno : EIO;
    if (!err && fs_sync(fileno(f)) != 0) err = errno;
    if (fs_fclose(f) != 0 && !err) err = errno ? errno : EIO;
    staged[i].f = nullptr;
    staged[i].rule = rule;
    if (err) store_failed(staged[i].dest, strerror(err));
}

// An identification file replaces the older entries for the same place.
static void drop_older(unsigned seq, const char *dest) {
    static Entry other;
    DIR *d = opendir(DIR_OUTBOX);
    if (!d) return;
    while (struct dirent *de = readdir(d)) {
        unsigned s;
        if (!entry_number(de->d_name, ".out", &s) || s >= seq) continue;
        char path[SIZE_ENTRY_PATH];
        entry_path(path, sizeof path, s, ".out");
        if (read_entry(path, &other, 0) && other.rule == OUTBOX_IDENT &&
            strcmp(other.dest, dest) == 0 && fs_unlink(path) == 0)
            printf("\nboite d'envoi: %s remplace par un plus recent\n", dest);
    }
    closedir(d);
}

// Removes the entries of the journal entry's block from the k-th on: what a former try
// wrote beyond what this one wrote.
static void drop_block_from(unsigned block, int k) {
    for (; k < OUTBOX_BLOCK; k++) {
        char path[SIZE_ENTRY_PATH];
        entry_path(path, sizeof path, block * OUTBOX_BLOCK + (unsigned)k, ".out");
        if (access(path, F_OK) == 0) fs_unlink(path);
    }
}

// The local copy of an OTCLAN result, as it was always written, and flushed to the disk
// with its directory before the result counts as stored. 0 when done.
static int store_copy(const char *entry, long payload, const char *local) {
    char dir[SIZE_OUTBOX_PATH];
    dir_of(local, dir, sizeof dir);
    if (copy_with(road_ops, entry, payload, local, 1) != 0 || fs_sync_dir(dir) != 0) {
        fprintf(stderr, "Fichier inexistant.\n");
        return -1;
    }
    return 0;
}

int outbox_commit(void) {
    if (staged_n == 0 && !staged_bad) return 1;
    int renamed = 0;
    for (int i = 0; i < staged_n && !staged_bad; i++, renamed++) {
        char from[SIZE_ENTRY_PATH], to[SIZE_ENTRY_PATH];
        entry_path(from, sizeof from, staged[i].seq, ".tmp");
        entry_path(to, sizeof to, staged[i].seq, ".out");
        if (staged[i].f || !staged[i].rule)
            store_failed(staged[i].dest, "non termine");
        else if (fs_rename(from, to) != 0)
            store_failed(staged[i].dest, strerror(errno));
    }
    if (staged_bad) {
        // all of the vehicle or nothing: it is written again whole at the retry
        for (int i = 0; i < staged_n; i++) {
            if (staged[i].f) fs_fclose(staged[i].f);
            char path[SIZE_ENTRY_PATH];
            entry_path(path, sizeof path, staged[i].seq, i < renamed ? ".out" : ".tmp");
            fs_unlink(path);
        }
        fs_sync_dir(DIR_OUTBOX);
        outbox_refused++;
        outbox_holding = 1;
        tim_program_ms(&OUTBOX_RETRY, OUTBOX_RETRY_MS);
        fprintf(stderr,
                "\nboite d'envoi pleine: le resultat reste au vehicule, nouvel essai dans %d s\n",
                OUTBOX_RETRY_MS / 1000);
        outbox_log("ERREUR stockage du fichier", refused_dest, "");
        staged_n = 0;
        staged_bad = 0;
        return 0;
    }
    if (outbox_journal) drop_block_from(outbox_journal, staged_n);
    fs_sync_dir(DIR_OUTBOX);
    for (int i = 0; i < staged_n; i++) {
        char path[SIZE_ENTRY_PATH];
        entry_path(path, sizeof path, staged[i].seq, ".out");
        if (staged[i].local[0]) store_copy(path, staged[i].payload, staged[i].local);
        if (staged[i].rule == OUTBOX_IDENT) drop_older(staged[i].seq, staged[i].dest);
    }
    staged_n = 0;
    outbox_holding = 0;
    // the files of a journal entry wait until the entry is gone (see the head)
    if (!outbox_journal) outbox_deliver();
    return 1;
}

unsigned outbox_new_block(void) {
    unsigned block = (outbox_seq + OUTBOX_BLOCK - 1) / OUTBOX_BLOCK;
    if (block == 0) block = 1;
    outbox_seq = (block + 1) * OUTBOX_BLOCK;
    return block;
}

void outbox_reserve(unsigned block) {
    if (outbox_seq < (block + 1) * OUTBOX_BLOCK) outbox_seq = (block + 1) * OUTBOX_BLOCK;
}

void outbox_drop_block(unsigned block) {
    drop_block_from(block, 0);
    fs_sync_dir(DIR_OUTBOX);
}

int outbox_ready(void) {
    return !outbox_holding || tim_verif_program_ms(OUTBOX_RETRY);
}

// ---- Delivery ---------------------------------------------------------------------------

enum Put { PUT_SKIPPED, PUT_FAILED, PUT_DONE };

static int failing_of(const char *dir) {
    for (int k = 0; k < MAX_FAILING; k++)
        if (failing[k].dir[0] && strcmp(failing[k].dir, dir) == 0) return k;
    return -1;
}

// The directory of `to` refused a file in this pass: the other files for it wait for
// the next pass.
static Put refused(const char *to) {
    char dir[SIZE_OUTBOX_PATH];
    dir_of(to, dir, sizeof dir);
    int k = failing_of(dir);
    if (k < 0) {
        k = 0;
        for (int i = 1; i < MAX_FAILING; i++)
            if (!failing[i].dir[0] || failing[i].pass < failing[k].pass) k = i;
        snprintf(failing[k].dir, sizeof failing[k].dir, "%s", dir);
    }
    failing[k].pass = pass;
    delivery.refusals++;
    return PUT_FAILED;
}

// Copies an entry's bytes to `to`. A directory that refused a copy in this pass is not
// tried again before the next pass; a try after a refusal is logged as a retry.
static Put put(const char *path, const Entry &e, const char *to) {
    char dir[SIZE_OUTBOX_PATH];
    dir_of(to, dir, sizeof dir);
    int k = failing_of(dir);
    if (k >= 0 && failing[k].pass == pass) return PUT_SKIPPED;
    if (k >= 0) outbox_log("Nouvel essai du fichier", to, "");
    if (copy_out(path, e.payload, to, 1) == 0) {
        if (k >= 0) failing[k].dir[0] = 0;
        return PUT_DONE;
    }
    fprintf(stderr, "\n%s introuvable.%s\n", to, strerror(errno));
    outbox_log("ERREUR ecriture du fichier", to, "");
    return refused(to);
}

// Whether an OTCLAN entry's order file is on the share: 1 there, 0 not there (the share
// answered "no such file" from its directory), -1 when the share did not answer that (an
// I/O error, a time-out, or its directory missing, as on a share that is not mounted).
static int order_there(const char *order) {
    if (access(order, F_OK) == 0) return 1;
    const int err = errno;
    char dir[SIZE_OUTBOX_PATH];
    dir_of(order, dir, sizeof dir);
    if (err == ENOENT && access(dir, F_OK) == 0) return 0;
    fprintf(stderr, "\n%s illisible.%s\n", order, strerror(err));
    outbox_log("ERREUR lecture du fichier", order, "");
    return -1;
}

// The entry has reached its end: it leaves the outbox.
static void delivered(const char *path) {
    unlink(path);
    sync_dir(DIR_OUTBOX);
}

// Copies an OTCLAN entry to its local copy with the ending added, in place of the local
// copy, and logs what it is.
static Put keep_local(const char *path, const Entry &e, const char *ending, const char *what,
                      const char *logged, const char *tail) {
    char to[SIZE_OUTBOX_PATH + 12];
    snprintf(to, sizeof to, "%s%s", e.local, ending);
    Put r = put(path, e, to);
    if (r != PUT_DONE) return r;
    unlink(e.local);
    outbox_log(what, logged, tail);
    delivered(path);
    return r;
}

// Delivers one entry by its rule; 0 when it was not tried (its directory refused a copy
// in this pass).
static int deliver_entry(unsigned seq) {
    static Entry e;
    char path[SIZE_ENTRY_PATH];
    entry_path(path, sizeof path, seq, ".out");
    const int whole = read_entry(path, &e, 1);
    if (!whole || !places_ok(e)) {
        set_aside(seq, whole ? "hors des repertoires de resultats" : "illisible");
        return 1;
    }
    Put r;
    const int otclan = e.rule == OUTBOX_OTCLAN || e.rule == OUTBOX_OTCLAN_ERR;
    const int order = otclan ? order_there(e.order) : 1;
    if (order < 0) {
        // the share did not say whether the order is there: the entry waits, and the
        // other files for its place with it
        r = refused(e.dest);
    } else if (order == 0) {
        // the order is no longer on the share: nothing is delivered, the result is kept
        fprintf(stderr, "Fichier %s inexistant.\n", e.order);
        r = keep_local(path, e, OUTBOX_ORPHAN, "ERREUR fichier inexistant", e.order, "");
    } else if (e.rule == OUTBOX_OTCLAN_ERR) {
        r = keep_local(path, e, ".err", "ERREUR sur fichier", e.local, ".err");
    } else {
        r = put(path, e, e.dest);
        if (r == PUT_DONE) {
            outbox_log("Ecriture du fichier", e.dest, "");
            delivered(path);
        }
    }
    return r != PUT_SKIPPED;
}

static long elapsed_ms(const struct timeval &from) {
    struct timeval now;
    now_tv(&now);
    return (long)((now.tv_sec - from.tv_sec) * 1000 + (now.tv_usec - from.tv_usec) / 1000);
}


// The delivery pass, a job on the share: the network check, then the entries oldest
// first, each a step with its own deadline.
static void delivery_run(void) {
    delivery.checked = 0;
    delivery.bounded = 0;
    delivery.refusals = 0;
    share_step();
    if (network_script() != 0) return;
    delivery.checked = 1;
    pass++;
    struct timeval started;
    now_tv(&started);
    long long after = -1;
    unsigned seq = 0;
    int tried = 0;
    while (next_entry(after, &seq)) {
        if (tried >= OUTBOX_PASS_FILES || (tried > 0 && elapsed_ms(started) > OUTBOX_PASS_MS)) {
            delivery.bounded = 1;
            break;
        }
        after = seq;
        share_step();
        tried += deliver_entry(seq);
    }
}

static void delivery_end(int how) {
    count_entries();
    write_status(0);
    // a pass cut by its bounds, not by the share, goes on at once
    if ((how == SHARE_DONE || how == SHARE_LATE_DONE) && delivery.bounded && !delivery.refusals &&
        outbox_pending > 0)
        deliver_wanted = 1;
}

static const ShareJob deliveryJob = {
    "livraison des resultats",
    delivery_run,
    delivery_end,
    {{&delivery, sizeof delivery}, {failing, sizeof failing}, {&pass, sizeof pass}},
    1,
};

void outbox_deliver(void) {
    count_entries();
    deliver_wanted = 0;
    if (outbox_pending > 0) {
        if (share_busy())
            deliver_wanted = 1; // as soon as the share is free
        else if (!network_offline())
            share_start(&deliveryJob);
    }
    write_status(0);
}

void outbox_poll(void) {
    if (deliver_wanted && !share_busy()) outbox_deliver();
}

// ---- Local copies -----------------------------------------------------------------------

// 1 when an entry still waiting has path as its local copy.
static int awaited_copy(const char *path) {
    static Entry other;
    DIR *d = opendir(DIR_OUTBOX);
    if (!d) return 0;
    int found = 0;
    while (!found) {
        struct dirent *de = readdir(d);
        if (!de) break;
        unsigned s;
        if (!entry_number(de->d_name, ".out", &s)) continue;
        char entry[SIZE_ENTRY_PATH];
        entry_path(entry, sizeof entry, s, ".out");
        found = read_entry(entry, &other, 0) && strcmp(other.local, path) == 0;
    }
    closedir(d);
    return found;
}

void outbox_clean_copies(void) {
    DIR *d = opendir(DIR_LOCAL_RES);
    if (!d) return;
    const time_t now = now_s();
    while (struct dirent *de = readdir(d)) {
        const char *name = de->d_name;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
        // never delivered: kept for good
        if (ends_with(name, ".err") || ends_with(name, OUTBOX_ORPHAN)) continue;
        char path[sizeof DIR_LOCAL_RES + 256];
        snprintf(path, sizeof path, "%s/%s", DIR_LOCAL_RES, name);
        struct stat st;
        if (lstat(path, &st) != 0 || !S_ISREG(st.st_mode)) continue;
        // whole days of age, as "find -mtime +7" counts them
        if (now < st.st_mtime || (now - st.st_mtime) / 86400 <= OUTBOX_KEEP_DAYS) continue;
        if (awaited_copy(path)) continue;
        unlink(path);
    }
    closedir(d);
}
