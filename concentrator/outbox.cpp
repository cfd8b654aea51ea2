// Outbox of the result files: no result is lost when the share cannot take it.
//
// A writer builds each file for the PC in a new entry of the outbox directory on the
// box's own disk. An entry is "OB2", its delivery rule letter and a NUL; its check, the
// length of the file's bytes and the CRC-32 of the rule letter and of everything after
// the check, in eight hexadecimal digits each, and a NUL; then its place on the share,
// the OTCLAN order file and the OTCLAN local copy, each ended by a NUL, then the file's
// bytes exactly as the PC gets them. It is written as "<n>.tmp", flushed to the disk and
// renamed "<n>.out", and the directory is flushed: the rename is the commit, so a power
// cut leaves no entry or a whole one, and start-up removes what was half written.
//
// Entry numbers come in blocks of OUTBOX_BLOCK: the files of one commit (one vehicle's
// result files, or one identification file) take the numbers of a block of their own,
// above every number in use, so the smallest number is the oldest entry and a block is
// the unit that is committed and delivered whole. The entries of one vehicle are renamed
// together, or none is kept and the vehicle keeps its result for a later try.
//
// A result received from the equipment is first kept in the journal of received results
// (journal.cpp, above this unit): journal entry J owns block J, and the files written
// from it are entries of that block. Writing them again (after a crash before the journal
// entry was removed) replaces those entries, so a result never has its files twice; such
// a commit does not deliver: the hand-over removes the journal entry first, then
// delivers.
//
// A disk that kept the rename but not all the bytes (or any damage since) leaves an
// entry that fails its check; one whose places are no result directories cannot be
// delivered either (an entry goes to the place it was written for, whatever the
// settings say since). Such an entry is never delivered nor deleted: it is set aside as
// "<n>.bad" for a technician, at start-up or when its turn comes. Start-up also makes
// the OTCLAN local copy of a waiting entry again when a stop left it missing or short.
//
// Delivery runs at once after a commit and at every order reading, while the network
// check says the share is usable: oldest first, a few files or about 200 ms a pass, a
// block at a time. The files of a block for the share are first copied beside their
// places as "<place>.tmp" and flushed; then the block is marked as being delivered in
// "<first number>.liv" (the entries it sends, each with its check: written, flushed, the
// directory flushed); then the copies are renamed to their real names, so the PC never
// sees half a file; only then are the entries removed, and the marker after them. A
// marked block is never copied again: after a stop (of the box, or of a worker held by
// the share and killed) a marked entry whose ".tmp" is still there is renamed, one whose
// ".tmp" is gone was renamed already and counts as delivered, and its OTCLAN order is not
// looked at again (the PC may have removed it since). A failed copy leaves the block for
// the next pass, and the other entries for the same directory wait with it.
//
// OTCLAN entries keep the designed rules, applied when they are delivered: the order
// file gone, the result is kept locally for good; a file with an error becomes the local
// ".err" copy. Only the share's "no such file" for the order counts as gone: any other
// failure to look at it leaves the entry waiting.
//
// One name, two tests: a result is not delivered over a file of the same name that is
// still on the share (only this box writes its results there: the PC has not taken the
// last one yet), nor in the same pass as an older one of that name. It waits for the PC
// to take the file, OUTBOX_SAME_NAME_S at most, then goes as it always did.
//
// A delivery pass is a job on the share (share unit): it runs in a worker process, each
// file with its own deadline, so that a share that blocks never holds the loop, which
// goes on storing meanwhile. So a pass takes a block only once it is whole (no entry of
// it still "<n>.tmp": a commit renames the block's first entry last) and handed over
// (no journal entry "<n>.jnl" of the block left). The entries and the share are the
// worker's files; what the loop's process keeps of a pass
// (the directories that refused a copy, the results waiting for the PC) comes back with
// its result. Storing, counting and the status file stay in the loop's process: they
// touch only the box's disk. Every file operation of the road, storing and delivering,
// goes through the platform layer's fs_* calls, where the crash-point tests stop the box.
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
#define MAX_WAITS 16  // results waiting for the PC to take a file of the same name
#define MAX_AHEAD 32  // places taken in one delivery pass
#define MARKER ".liv" // ending of the marker of a block being delivered

// What an entry remembers.
struct Entry {
    char rule;
    char dest[SIZE_OUTBOX_PATH];
    char order[SIZE_OUTBOX_PATH];
    char local[SIZE_OUTBOX_PATH];
    long payload;   // offset of the file's bytes
    char check[17]; // its check as the head holds it: what a delivery marker names
};

// Entries ended since the last commit (in the block staged_block), and whether one of
// them could not be stored.
static unsigned staged_block;
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

// What the loop's process keeps of the delivery passes (the worker gets it at the fork
// and brings it back): the directories that refused a copy, with the pass of their last
// refusal, and the blocks waiting for the PC to take a file of the same name, with the
// time the wait began.
static struct {
    struct {
        char dir[SIZE_OUTBOX_PATH];
        unsigned pass;
    } failing[MAX_FAILING];
    unsigned pass;
    struct {
        int on;
        unsigned block;
        long long since;
    } waits[MAX_WAITS];
} kept;

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
    int moved;    // blocks that left the outbox in the pass
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
    memcpy(e->check, head + CHECK_AT, 16);
    e->check[16] = 0;
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

// The next name of a path from *at on (runs of '/' skipped); its length, 0 at the end.
static size_t next_name(const char *path, size_t *at, size_t end) {
    while (*at < end && path[*at] == '/')
        (*at)++;
    size_t n = 0;
    while (*at + n < end && path[*at + n] != '/')
        n++;
    *at += n;
    return n;
}

// 1 when the n bytes at name are the name word.
static int is_name(const char *name, size_t n, const char *word) {
    return strlen(word) == n && memcmp(name, word, n) == 0;
}

// 1 when the directory path[0, end) is dir or lies below it (runs of '/' count as one,
// both absolute); the offset in path where dir's part ends in *rest.
static int under(const char *path, size_t end, const char *dir, size_t *rest) {
    if (path[0] != '/' || dir[0] != '/') return 0;
    size_t i = 0, d = 0;
    const size_t dn = strlen(dir);
    for (;;) {
        const size_t at = i;
        const size_t nb = next_name(dir, &d, dn);
        if (nb == 0) {
            *rest = at;
            return 1;
        }
        const size_t na = next_name(path, &i, end);
        if (na != nb || memcmp(path + i - na, dir + d - nb, nb) != 0) return 0;
    }
}

// The names of path[at, end), none "." or "..": how many, the last two in *last and
// *before (with their lengths); -1 when one is "." or "..".
struct Tail {
    const char *last, *before;
    size_t n_last, n_before;
};
static int names_of(const char *path, size_t at, size_t end, Tail *t) {
    int names = 0;
    *t = Tail{"", "", 0, 0};
    for (size_t n; (n = next_name(path, &at, end)) > 0; names++) {
        const char *name = path + at - n;
        if (is_name(name, n, ".") || is_name(name, n, "..")) return -1;
        t->before = t->last, t->n_before = t->n_last;
        t->last = name, t->n_last = n;
    }
    return names;
}

// Where a place lies, judged by the place itself (not by today's settings: an entry goes
// where it was written for). A file name that is neither "." nor "..", with room for
// `room` more bytes (the endings the delivery adds), in:
#define IN_SHARE                                                                                   \
    1 // a result or identification directory of the share: RES or ID, right
      // under its root or under a station sub-directory
#define IN_IMPORT                                                                                  \
    2              // the BNET import directory (DataExchange/ImportResults) of a base
                   // directory of the box
#define IN_LOG 4   // the log directory (the box's copies of identification files)
#define IN_LOCAL 8 // the local directory of the OTCLAN results
// The kinds of place of path (0: none); of the share's directories RES only when
// res_only (OTCLAN results).
static int place_of(const char *path, size_t room, int res_only) {
    const char *slash = strrchr(path, '/');
    if (!slash || !slash[1] || strcmp(slash + 1, ".") == 0 || strcmp(slash + 1, "..") == 0 ||
        strlen(slash + 1) + room > NAME_MAX)
        return 0;
    const size_t end = (size_t)(slash - path);
    size_t rest;
    Tail t;
    int kinds = 0;
    if (under(path, end, DIR_LOG, &rest) && names_of(path, rest, end, &t) == 0) kinds |= IN_LOG;
    if (under(path, end, DIR_LOCAL_RES, &rest) && names_of(path, rest, end, &t) == 0)
        kinds |= IN_LOCAL;
    if (under(path, end, DIR_SHARE, &rest) && names_of(path, rest, end, &t) > 0 &&
        (is_name(t.last, t.n_last, "RES") || (!res_only && is_name(t.last, t.n_last, "ID"))))
        kinds |= IN_SHARE;
    if (!res_only && under(path, end, BOX_PATH("/"), &rest) && names_of(path, rest, end, &t) >= 2 &&
        is_name(t.last, t.n_last, "ImportResults") && is_name(t.before, t.n_before, "DataExchange"))
        kinds |= IN_IMPORT;
    return kinds;
}

// 1 when the places of an entry are places the writers write: an OTCLAN file into a RES
// directory of the share with its copy in the local directory; another file into a
// result or identification directory of the share or a BNET import directory, an
// identification file's copy into the log directory.
static int places_ok(const Entry &e) {
    if (e.rule == OUTBOX_OTCLAN || e.rule == OUTBOX_OTCLAN_ERR)
        return (place_of(e.dest, 4, 1) & IN_SHARE) &&
               (place_of(e.local, sizeof OUTBOX_ORPHAN + 3, 0) & IN_LOCAL);
    const int kinds = place_of(e.dest, 4, 0);
    return (kinds & (IN_SHARE | IN_IMPORT)) || (e.rule == OUTBOX_IDENT && (kinds & IN_LOG));
}

// Sets an entry that cannot be delivered aside as "<n>.bad", out of the count.
static void set_aside(unsigned seq, const char *why) {
    char path[SIZE_ENTRY_PATH], bad[SIZE_ENTRY_PATH];
    entry_path(path, sizeof path, seq, ".out");
    entry_path(bad, sizeof bad, seq, ".bad");
    if (access(bad, F_OK) == 0 || fs_rename(path, bad) != 0) return; // never over one set aside
    fs_sync_dir(DIR_OUTBOX);
    fprintf(stderr, "\nboite d'envoi: %s %s, mis de cote en %s\n", path, why, bad);
    outbox_log("ERREUR entree de la boite d'envoi mise de cote", bad, "");
}

// The temporary name of a copy: "<place>.tmp" beside it. 0 when it does not fit.
static int tmp_of(const char *place, char *tmp, size_t size) {
    const int w = snprintf(tmp, size, "%s.tmp", place);
    if (w < 0 || (size_t)w >= size) {
        errno = ENAMETOOLONG;
        return 0;
    }
    return 1;
}

// Copies the bytes of an entry, from offset on, to "<place>.tmp" beside place, and
// flushes them to the disk. 0 on success; -1 with errno set, the copy removed where
// possible.
static int write_tmp(const char *entry, long offset, const char *place) {
    char tmp[SIZE_OUTBOX_PATH + 8];
    if (!tmp_of(place, tmp, sizeof tmp)) return -1;
    int in = open(entry, O_RDONLY);
    if (in < 0) return -1;
    int out = -1, err = 0;
    if (lseek(in, offset, SEEK_SET) != offset) err = errno ? errno : EIO;
    if (!err && (out = fs_open(tmp, O_WRONLY | O_CREAT | O_TRUNC, 0666)) < 0) err = errno;
    static char buf[4096];
    while (!err) {
        ssize_t n = read(in, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) err = errno;
        if (n <= 0) break;
        if (fs_write(out, buf, (size_t)n) < 0) err = errno ? errno : EIO;
    }
    if (!err && fs_sync(out) != 0) err = errno;
    if (out >= 0 && fs_close(out) != 0 && !err) err = errno;
    close(in);
    if (err) {
        if (out >= 0) fs_unlink(tmp);
        errno = err;
        return -1;
    }
    return 0;
}

// Copies the bytes of an entry, from offset on, to place: through "<place>.tmp",
// flushed, then renamed. 0 on success; -1 with errno set.
static int copy_out(const char *entry, long offset, const char *place) {
    char tmp[SIZE_OUTBOX_PATH + 8];
    if (!tmp_of(place, tmp, sizeof tmp) || write_tmp(entry, offset, place) != 0) return -1;
    if (fs_rename(tmp, place) == 0) return 0;
    const int err = errno;
    fs_unlink(tmp);
    errno = err;
    return -1;
}

// The length and CRC-32 of a file's bytes from offset on; 0 when it cannot be read.
static int sum_of(const char *path, long offset, long long *length, uint32_t *crc) {
    int fd = open(path, O_RDONLY);
    if (fd < 0) return 0;
    int ok = lseek(fd, offset, SEEK_SET) == offset;
    *length = 0;
    *crc = 0;
    static char buf[4096];
    while (ok) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = 0;
        if (n <= 0) break;
        *length += n;
        *crc = crc32_of(*crc, buf, (size_t)n);
    }
    close(fd);
    return ok;
}

// 1 when the file at path holds exactly the bytes of the entry at entry, from its offset
// payload on.
static int holds_entry(const char *path, const char *entry, long payload) {
    long long want, got;
    uint32_t crc_want, crc_got;
    return sum_of(entry, payload, &want, &crc_want) && sum_of(path, 0, &got, &crc_got) &&
           got == want && crc_got == crc_want;
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
                !entry_number(de->d_name, ".bad", &s) && !entry_number(de->d_name, MARKER, &s))
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

// 1 when block b holds an entry waiting (".out"); with any, an entry in any state or a
// marker.
static int block_holds(unsigned b, int any) {
    static const char *const exts[] = {".out", ".tmp", ".bad"};
    char path[SIZE_ENTRY_PATH];
    for (unsigned k = 0; k < OUTBOX_BLOCK; k++)
        for (int x = 0; x < (any ? 3 : 1); x++) {
            entry_path(path, sizeof path, b * OUTBOX_BLOCK + k, exts[x]);
            if (access(path, F_OK) == 0) return 1;
        }
    entry_path(path, sizeof path, b * OUTBOX_BLOCK, MARKER);
    return any && access(path, F_OK) == 0;
}

// ---- Delivery markers -------------------------------------------------------------------
//
// A block being delivered: "LV1", then one line per entry it sends to the share (its
// number in ten digits, a blank and its check as its head holds it), then "FIN", a blank
// and the CRC-32 of all that comes before, in eight hexadecimal digits, and a LF.

#define MARKER_HEAD "LV1\n"
#define MARKER_LINE 28 // "<number> <check>\n"
#define MARKER_TAIL 13 // "FIN <crc>\n"
static char marker[sizeof MARKER_HEAD + OUTBOX_BLOCK * MARKER_LINE + MARKER_TAIL];
static size_t marker_len;

static void marker_path(char *out, size_t size, unsigned block) {
    entry_path(out, size, block * OUTBOX_BLOCK, MARKER);
}

// Reads the marker of a block; 1 when it is whole (it was flushed before any rename).
static int marker_read(unsigned block) {
    char path[SIZE_ENTRY_PATH];
    marker_path(path, sizeof path, block);
    marker_len = 0;
    int fd = open(path, O_RDONLY);
    if (fd < 0) return 0;
    char extra;
    for (;;) {
        char *to = marker_len < sizeof marker ? marker + marker_len : &extra;
        ssize_t n = read(fd, to, marker_len < sizeof marker ? sizeof marker - marker_len : 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        marker_len += (size_t)n;
    }
    close(fd);
    const size_t head = sizeof MARKER_HEAD - 1;
    unsigned long crc;
    return marker_len <= sizeof marker && marker_len >= head + MARKER_TAIL &&
           (marker_len - head - MARKER_TAIL) % MARKER_LINE == 0 &&
           memcmp(marker, MARKER_HEAD, head) == 0 &&
           memcmp(marker + marker_len - MARKER_TAIL, "FIN ", 4) == 0 &&
           marker[marker_len - 1] == '\n' && hex_field(marker + marker_len - 9, 8, &crc) &&
           crc32_of(0, marker, marker_len - MARKER_TAIL) == crc;
}

// 1 when the marker read last names the entry seq with its check.
static int marker_names(unsigned seq, const char *check) {
    char line[MARKER_LINE + 1];
    snprintf(line, sizeof line, "%010u %.16s\n", seq, check);
    for (size_t at = sizeof MARKER_HEAD - 1; at + MARKER_TAIL < marker_len; at += MARKER_LINE)
        if (memcmp(marker + at, line, MARKER_LINE) == 0) return 1;
    return 0;
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

// The local copy of an OTCLAN result, as it was always written, and flushed to the disk
// with its directory before the result counts as stored. 0 when done.
static int store_copy(const char *entry, long payload, const char *local) {
    char dir[SIZE_OUTBOX_PATH];
    dir_of(local, dir, sizeof dir);
    if (copy_out(entry, payload, local) != 0 || fs_sync_dir(dir) != 0) {
        fprintf(stderr, "Fichier inexistant.\n");
        return -1;
    }
    return 0;
}

// The local copy of a waiting OTCLAN entry is made again when a stop left it missing or
// short (or holding other bytes than the entry's).
static void remake_copy(const char *path, const Entry &e) {
    if (holds_entry(e.local, path, e.payload)) return;
    if (store_copy(path, e.payload, e.local) == 0)
        printf("\nboite d'envoi: copie locale %s refaite\n", e.local);
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
    // a marker that no waiting entry is left for, or that a stop cut off before it was
    // whole (no rename had begun then), goes
    if (DIR *d = opendir(DIR_OUTBOX)) {
        while (struct dirent *de = readdir(d)) {
            unsigned s;
            if (!entry_number(de->d_name, MARKER, &s)) continue;
            const unsigned b = s / OUTBOX_BLOCK;
            if (s % OUTBOX_BLOCK == 0 && marker_read(b) && block_holds(b, 0)) continue;
            char path[SIZE_ENTRY_PATH];
            entry_path(path, sizeof path, s, MARKER);
            unlink(path);
        }
        closedir(d);
    }
    // a local copy the stop cut off under its temporary name (the box names no copy of
    // its own so) goes; then the OTCLAN local copies of the entries waiting are made
    // again where needed, oldest first (the newest result of a name has its copy)
    if (DIR *d = opendir(DIR_LOCAL_RES)) {
        while (struct dirent *de = readdir(d)) {
            if (!ends_with(de->d_name, ".tmp")) continue;
            char path[sizeof DIR_LOCAL_RES + 256];
            snprintf(path, sizeof path, "%s/%s", DIR_LOCAL_RES, de->d_name);
            unlink(path);
        }
        closedir(d);
    }
    unsigned seq = 0;
    for (long long after = -1; next_entry(after, &seq); after = seq) {
        char path[SIZE_ENTRY_PATH];
        entry_path(path, sizeof path, seq, ".out");
        if (read_entry(path, &e, 0) && e.local[0] && places_ok(e)) remake_copy(path, e);
    }
    staged_n = 0;
    staged_bad = 0;
    outbox_holding = 0;
    memset(&kept, 0, sizeof kept);
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
    if (staged_n == 0) {
        // the block of the journal entry, where what a former try left is replaced; else a
        // block of its own, never over a kept entry, whatever the count said
        staged_block = outbox_journal;
        while (!staged_block || (!outbox_journal && block_holds(staged_block, 1)))
            staged_block = outbox_new_block();
    }
    const unsigned seq = staged_block * OUTBOX_BLOCK + (unsigned)staged_n;
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

int outbox_commit(void) {
    if (staged_n == 0 && !staged_bad) return 1;
    // The last entry first, the block's first entry last: a delivery running meanwhile
    // (a worker, see the head) that finds the first renamed finds them all.
    int from_here = staged_n; // entries from this one on are renamed
    for (int i = staged_n - 1; i >= 0 && !staged_bad; i--) {
        char from[SIZE_ENTRY_PATH], to[SIZE_ENTRY_PATH];
        entry_path(from, sizeof from, staged[i].seq, ".tmp");
        entry_path(to, sizeof to, staged[i].seq, ".out");
        if (staged[i].f || !staged[i].rule)
            store_failed(staged[i].dest, "non termine");
        else if (fs_rename(from, to) != 0)
            store_failed(staged[i].dest, strerror(errno));
        else
            from_here = i;
    }
    if (staged_bad) {
        // all of the vehicle or nothing: it is written again whole at the retry
        for (int i = 0; i < staged_n; i++) {
            if (staged[i].f) fs_fclose(staged[i].f);
            char path[SIZE_ENTRY_PATH];
            entry_path(path, sizeof path, staged[i].seq, i >= from_here ? ".out" : ".tmp");
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

static int same_path(const char *a, const char *b);

// The directory's place in the list of those that refused a file (a directory written
// with runs of '/' is the same directory); -1 when it is not there.
static int failing_of(const char *dir) {
    for (int k = 0; k < MAX_FAILING; k++)
        if (kept.failing[k].dir[0] && same_path(kept.failing[k].dir, dir)) return k;
    return -1;
}

// The directory of `to` refused a file in this pass: the other files for it wait for
// the next pass.
static void refused(const char *to) {
    char dir[SIZE_OUTBOX_PATH];
    dir_of(to, dir, sizeof dir);
    int k = failing_of(dir);
    if (k < 0) {
        k = 0;
        for (int i = 1; i < MAX_FAILING; i++)
            if (!kept.failing[i].dir[0] || kept.failing[i].pass < kept.failing[k].pass) k = i;
        snprintf(kept.failing[k].dir, sizeof kept.failing[k].dir, "%s", dir);
    }
    kept.failing[k].pass = kept.pass;
    delivery.refusals++;
}

// 1 when the directory of `to` refused a file earlier in this pass.
static int held_back(const char *to) {
    char dir[SIZE_OUTBOX_PATH];
    dir_of(to, dir, sizeof dir);
    const int k = failing_of(dir);
    return k >= 0 && kept.failing[k].pass == kept.pass;
}

// A copy to `to` failed: told, and its directory waits for the next pass.
static int copy_failed(const char *to) {
    fprintf(stderr, "\n%s introuvable.%s\n", to, strerror(errno));
    outbox_log("ERREUR ecriture du fichier", to, "");
    refused(to);
    return 0;
}

// Files the delivery pass has tried to copy or rename so far.
static int tried;

// Copies an entry's bytes to "<to>.tmp" beside `to` (a try after its directory refused
// one is logged as a retry); with place, renamed to `to` at once. 1 when done.
static int put(const char *path, const Entry &e, const char *to, int place) {
    char dir[SIZE_OUTBOX_PATH];
    dir_of(to, dir, sizeof dir);
    const int k = failing_of(dir);
    if (k >= 0) outbox_log("Nouvel essai du fichier", to, "");
    tried++;
    share_step();
    if ((place ? copy_out(path, e.payload, to) : write_tmp(path, e.payload, to)) != 0)
        return copy_failed(to);
    if (k >= 0) kept.failing[k].dir[0] = 0;
    return 1;
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

// Whether the copy "<place>.tmp" is gone: 1 gone (the share said "no such file" from its
// directory), 0 there, -1 when the share did not say.
static int tmp_gone(const char *place) {
    char tmp[SIZE_OUTBOX_PATH + 8], dir[SIZE_OUTBOX_PATH];
    if (!tmp_of(place, tmp, sizeof tmp)) return -1;
    if (access(tmp, F_OK) == 0) return 0;
    const int err = errno;
    dir_of(place, dir, sizeof dir);
    return err == ENOENT && access(dir, F_OK) == 0 ? 1 : -1;
}

// What becomes of an entry of the block being delivered.
#define TO_SHARE 1  // its place on the share
#define TO_ERR 2    // OTCLAN file with an error: the local ".err" copy
#define TO_ORPHAN 3 // OTCLAN file whose order is gone: kept locally for good

// The entries of the block being delivered.
static struct {
    unsigned seq;
    char fate;
    char marked; // named by the block's marker: renamed already, or to be renamed
    char done;   // delivered: to be removed from the outbox
    Entry e;
} group[OUTBOX_BLOCK];
static int group_n;

// Places taken in this pass: a result for one of them waits for the next pass.
static char ahead[MAX_AHEAD][SIZE_OUTBOX_PATH];
static int ahead_n;

static void member_path(char *out, size_t size, int i) {
    entry_path(out, size, group[i].seq, ".out");
}

// 1 when the entry goes to the share as a result (an identification file replaces the
// one before it, as designed).
static int result_for_share(int i) {
    return group[i].fate == TO_SHARE && group[i].e.rule != OUTBOX_IDENT;
}

// 1 when a and b are the same path, runs of '/' counting as one.
static int same_path(const char *a, const char *b) {
    for (;;) {
        if (*a != *b) return 0;
        if (!*a) return 1;
        const int slash = *a == '/';
        a++, b++;
        while (slash && *a == '/')
            a++;
        while (slash && *b == '/')
            b++;
    }
}

static int wait_of(unsigned block) {
    for (int k = 0; k < MAX_WAITS; k++)
        if (kept.waits[k].on && kept.waits[k].block == block) return k;
    return -1;
}

// One name, two tests: 1 while the block waits for the PC to take a file of the same
// name as one of its results (see the head). The wait begins when the name is found
// taken, again whenever an older result of the name is ahead in the pass; past
// OUTBOX_SAME_NAME_S (or the clock set back) the block goes.
static int must_wait(unsigned block) {
    int taken = 0, behind = 0;
    for (int i = 0; i < group_n; i++) {
        if (!result_for_share(i)) continue;
        for (int a = 0; a < ahead_n; a++)
            behind |= same_path(ahead[a], group[i].e.dest);
        taken |= access(group[i].e.dest, F_OK) == 0;
    }
    for (int i = 0; i < group_n && ahead_n < MAX_AHEAD; i++)
        if (result_for_share(i)) snprintf(ahead[ahead_n++], sizeof ahead[0], "%s", group[i].e.dest);
    int k = wait_of(block);
    if (!taken && !behind) {
        if (k >= 0) kept.waits[k].on = 0;
        return 0;
    }
    const long long now = (long long)now_s();
    if (k >= 0 && !behind) {
        if (now >= kept.waits[k].since && now - kept.waits[k].since < OUTBOX_SAME_NAME_S) return 1;
        kept.waits[k].on = 0;
        for (int i = 0; i < group_n; i++)
            if (result_for_share(i))
                outbox_log("ERREUR fichier precedent non repris par le PC, remplace:",
                           group[i].e.dest, "");
        return 0;
    }
    if (k < 0) {
        for (k = 0; k < MAX_WAITS && kept.waits[k].on; k++) {
        }
        if (k == MAX_WAITS) return 0; // no room to count the wait: it goes as designed
        kept.waits[k].on = 1;
        kept.waits[k].block = block;
        for (int i = 0; i < group_n; i++)
            if (result_for_share(i)) {
                fprintf(stderr, "\n%s: le fichier precedent n'est pas encore repris\n",
                        group[i].e.dest);
                outbox_log("Attente de la reprise par le PC du fichier", group[i].e.dest, "");
            }
    }
    kept.waits[k].since = now;
    return 1;
}

// Writes the block's marker, naming the entries that go to the share: written, flushed,
// the directory flushed. 0 when done.
static int marker_write(unsigned block) {
    size_t n = (size_t)snprintf(marker, sizeof marker, "%s", MARKER_HEAD);
    for (int i = 0; i < group_n; i++)
        if (group[i].fate == TO_SHARE)
            n += (size_t)snprintf(marker + n, sizeof marker - n, "%010u %.16s\n", group[i].seq,
                                  group[i].e.check);
    n += (size_t)snprintf(marker + n, sizeof marker - n, "FIN %08lX\n",
                          (unsigned long)crc32_of(0, marker, n));
    char path[SIZE_ENTRY_PATH];
    marker_path(path, sizeof path, block);
    const int fd = fs_open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = fd < 0;
    if (!err && (fs_write(fd, marker, n) < 0 || fs_sync(fd) != 0)) err = 1;
    if (fd >= 0 && fs_close(fd) != 0) err = 1;
    if (!err && fs_sync_dir(DIR_OUTBOX) != 0) err = 1;
    if (err) {
        fprintf(stderr, "\nboite d'envoi: marque %s non ecrite: %s\n", path, strerror(errno));
        if (fd >= 0) fs_unlink(path);
    }
    return err ? -1 : 0;
}

// The copies of the entries marked are renamed to their places (one whose copy is gone
// was renamed before a stop); counted as files tried with count (they were not copied in
// this pass). 1 when all are in place.
static int rename_marked(int count) {
    for (int i = 0; i < group_n; i++) {
        if (!group[i].marked || group[i].done) continue;
        const Entry &e = group[i].e;
        tried += count;
        share_step();
        const int gone = tmp_gone(e.dest);
        char tmp[SIZE_OUTBOX_PATH + 8];
        if (gone < 0 ||
            (!gone && (!tmp_of(e.dest, tmp, sizeof tmp) || fs_rename(tmp, e.dest) != 0)))
            return copy_failed(e.dest);
        if (!gone) outbox_log("Ecriture du fichier", e.dest, "");
        group[i].done = 1;
    }
    return 1;
}

// TO_ERR or TO_ORPHAN when the OTCLAN entry i is on the box already as its ".err" (a file
// with an error) or orphan copy (a try that a stop cut short), 0 when neither holds its
// bytes.
static char kept_as(int i) {
    const Entry &e = group[i].e;
    char path[SIZE_ENTRY_PATH], copy[SIZE_OUTBOX_PATH + 12];
    member_path(path, sizeof path, i);
    static const struct {
        const char *ending;
        char fate;
    } kinds[] = {{".err", TO_ERR}, {OUTBOX_ORPHAN, TO_ORPHAN}};
    for (const auto &k : kinds) {
        if (k.fate == TO_ERR && e.rule != OUTBOX_OTCLAN_ERR) continue;
        snprintf(copy, sizeof copy, "%s%s", e.local, k.ending);
        if (holds_entry(copy, path, e.payload)) return k.fate;
    }
    return 0;
}

// An OTCLAN entry kept on the box: its bytes become the local copy with the ending added
// (flushed with its directory), in place of the local copy. 1 when done.
static int keep_local(int i, const char *ending, const char *what, const char *logged,
                      const char *tail) {
    const Entry &e = group[i].e;
    char path[SIZE_ENTRY_PATH], to[SIZE_OUTBOX_PATH + 12], dir[SIZE_OUTBOX_PATH];
    member_path(path, sizeof path, i);
    snprintf(to, sizeof to, "%s%s", e.local, ending);
    if (!put(path, e, to, 1)) return 0;
    if (access(e.local, F_OK) == 0) fs_unlink(e.local);
    dir_of(e.local, dir, sizeof dir);
    fs_sync_dir(dir);
    outbox_log(what, logged, tail);
    group[i].done = 1;
    return 1;
}

// The entries delivered leave the outbox, then the block's marker (also when every entry
// of the block was set aside).
static void remove_done(unsigned block) {
    int left = 0;
    for (int i = 0; i < group_n; i++) {
        if (!group[i].done) {
            left = 1;
            continue;
        }
        char path[SIZE_ENTRY_PATH];
        member_path(path, sizeof path, i);
        fs_unlink(path);
    }
    if (group_n) fs_sync_dir(DIR_OUTBOX);
    char path[SIZE_ENTRY_PATH];
    marker_path(path, sizeof path, block);
    if (access(path, F_OK) == 0 && (!left || !block_holds(block, 0))) {
        fs_unlink(path);
        fs_sync_dir(DIR_OUTBOX);
    }
    const int k = wait_of(block);
    if (k >= 0 && !left) kept.waits[k].on = 0;
    if (!left && group_n) delivery.moved++;
}

// 1 while the loop's process is handing block b over: its journal entry is still there
// (its files may yet be written again, or taken back).
static int handed_over(unsigned b) {
    char path[sizeof DIR_JOURNAL + 16];
    snprintf(path, sizeof path, "%s/%010u.jnl", DIR_JOURNAL, b);
    return access(path, F_OK) == 0;
}

// Delivers the entries of one block together (see the head). Each file copied or
// renamed counts in `tried`; a block held back for this pass (by a directory that
// refused a copy, or waiting for the PC) counts nothing.
static void deliver_block(unsigned block) {
    group_n = 0;
    if (handed_over(block)) return;
    for (unsigned k = 0; k < OUTBOX_BLOCK; k++) {
        char path[SIZE_ENTRY_PATH];
        const unsigned seq = block * OUTBOX_BLOCK + k;
        entry_path(path, sizeof path, seq, ".tmp");
        if (access(path, F_OK) == 0) return; // being committed: the block is not whole yet
        entry_path(path, sizeof path, seq, ".out");
        if (access(path, F_OK) != 0) continue;
        Entry &e = group[group_n].e;
        const int whole = read_entry(path, &e, 1);
        if (!whole || !places_ok(e)) {
            set_aside(seq, whole ? "hors des repertoires de resultats" : "illisible");
            tried++;
            continue;
        }
        group[group_n].seq = seq;
        group[group_n].fate = TO_SHARE;
        group[group_n].marked = 0;
        group[group_n++].done = 0;
    }
    if (group_n == 0) { // all set aside: a marker of the block names none waiting
        remove_done(block);
        return;
    }
    for (int i = 0; i < group_n; i++)
        if (held_back(group[i].e.dest) || (group[i].e.local[0] && held_back(group[i].e.local)))
            return;

    // marked: the copies went to the share before a stop; only their renames are left
    int marked = 0;
    if (marker_read(block))
        for (int i = 0; i < group_n; i++)
            marked += group[i].marked = (char)marker_names(group[i].seq, group[i].e.check);
    if (marked) {
        if (rename_marked(1)) remove_done(block);
        return;
    }

    // the OTCLAN rules, by the order file of each (one look per order file); an entry
    // kept on the box already by a try that a stop cut short stays so
    const char *looked = nullptr;
    int order = 1;
    for (int i = 0; i < group_n; i++) {
        const Entry &m = group[i].e;
        if (m.rule != OUTBOX_OTCLAN && m.rule != OUTBOX_OTCLAN_ERR) continue;
        if ((group[i].fate = kept_as(i)) != 0) continue;
        if (!looked || strcmp(looked, m.order) != 0) order = order_there(looked = m.order);
        if (order < 0) {
            // the share did not say whether the order is there: the block waits, and the
            // other files for its place with it
            tried++;
            refused(m.dest);
            return;
        }
        group[i].fate = order == 0 ? TO_ORPHAN : m.rule == OUTBOX_OTCLAN_ERR ? TO_ERR : TO_SHARE;
    }
    if (must_wait(block)) return;

    // the files for the share: all copied beside their places, the block marked, then
    // each renamed
    int to_share = 0;
    for (int i = 0; i < group_n; i++) {
        if (group[i].fate != TO_SHARE) continue;
        char path[SIZE_ENTRY_PATH];
        member_path(path, sizeof path, i);
        if (!put(path, group[i].e, group[i].e.dest, 0)) {
            for (int j = 0; j < i; j++) { // the copies made go: nothing is marked
                char tmp[SIZE_OUTBOX_PATH + 8];
                if (group[j].fate == TO_SHARE && tmp_of(group[j].e.dest, tmp, sizeof tmp))
                    fs_unlink(tmp);
            }
            return;
        }
        group[i].marked = 1;
        to_share++;
    }
    if (to_share && marker_write(block) != 0) return;
    if (!rename_marked(0)) return;

    // the files kept on the box
    for (int i = 0; i < group_n; i++) {
        const Entry &m = group[i].e;
        if (group[i].fate == TO_ORPHAN) {
            fprintf(stderr, "Fichier %s inexistant.\n", m.order);
            char tmp[SIZE_OUTBOX_PATH + 8]; // a copy left by a try before the order went
            if (tmp_of(m.dest, tmp, sizeof tmp) && access(tmp, F_OK) == 0) fs_unlink(tmp);
            if (!keep_local(i, OUTBOX_ORPHAN, "ERREUR fichier inexistant", m.order, "")) break;
        } else if (group[i].fate == TO_ERR &&
                   !keep_local(i, ".err", "ERREUR sur fichier", m.local, ".err")) {
            break;
        }
    }
    remove_done(block);
}

static long elapsed_ms(const struct timeval &from) {
    struct timeval now;
    now_tv(&now);
    return (long)((now.tv_sec - from.tv_sec) * 1000 + (now.tv_usec - from.tv_usec) / 1000);
}

// The delivery pass, a job on the share: the network check, then the blocks oldest
// first, each file a step with its own deadline.
static void delivery_run(void) {
    delivery.checked = 0;
    delivery.bounded = 0;
    delivery.refusals = 0;
    delivery.moved = 0;
    share_step();
    if (network_script() != 0) return;
    delivery.checked = 1;
    kept.pass++;
    ahead_n = 0;
    struct timeval started;
    now_tv(&started);
    long long after = -1;
    unsigned seq = 0;
    int blocks = 0;
    tried = 0;
    while (next_entry(after, &seq)) {
        if (tried >= OUTBOX_PASS_FILES ||
            ((tried > 0 || blocks > 0) && elapsed_ms(started) > OUTBOX_PASS_MS)) {
            delivery.bounded = 1;
            break;
        }
        const unsigned block = seq / OUTBOX_BLOCK;
        after = (long long)block * OUTBOX_BLOCK + OUTBOX_BLOCK - 1;
        deliver_block(block);
        blocks++;
    }
}

static void delivery_end(int how) {
    count_entries();
    write_status(0);
    // a pass cut by its bounds, not by the share nor by results waiting for the PC, goes
    // on at once
    if ((how == SHARE_DONE || how == SHARE_LATE_DONE) && delivery.bounded && !delivery.refusals &&
        delivery.moved > 0 && outbox_pending > 0)
        deliver_wanted = 1;
}

static const ShareJob deliveryJob = {
    "livraison des resultats",
    delivery_run,
    delivery_end,
    {{&delivery, sizeof delivery}, {&kept, sizeof kept}, {nullptr, 0}},
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
