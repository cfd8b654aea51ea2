// Work on the PC's share, away from the loop.
//
// The share is a network mount: an open, a read or a rename on it may block for seconds
// or minutes when the PC is switched off or hangs. The loop must go on meanwhile (the
// heartbeat, the liveness file, the equipment dialogue), and it stays single-threaded:
// each piece of share work (the network check with the order reading, with a delivery
// pass, or with the clock file) runs as a job in a worker process forked for it. The
// worker leaves the job's result in a small mapping shared with the loop's process,
// made once at start-up; the loop looks at the job at every pass (it sleeps no longer
// than SHARE_POLL_MS while one runs) and hands the result to the job's owner once the
// worker has ended.
//
// Each step of a job has its own deadline (SHARE_STEP_MS): the worker stamps the start
// of every step in the mapping. When a step overruns, the job's owner is told that the
// share is unusable for this pass; the worker is never waited for, it is reaped once it
// ends, and no other job starts while it is held. One held past SHARE_KILL_MS is killed.
//
// A worker closes every descriptor it inherits but the console (the equipment's link
// must not stay open in a process held by the share), never services the heartbeat
// (the liveness file and the LEDs are the loop's), and ends with _exit, its own console
// output flushed, so that nothing of the loop's process is torn down twice.
//
// A worker never outlives the loop's process: when the box is stopped or killed while the
// share holds a job, the worker is killed with it, rather than finishing a delivery later
// beside the next box's own.
//
// Inline mode (the default until share_init): a job runs in the calling process and
// ends at once; unit tests and fuzz targets use it, the programs never do.
#include "share.h"

#include <dirent.h>
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "heartbeat.h"
#include "plat.h"

int share_inline = 1;
unsigned share_step_ms = SHARE_STEP_MS;
unsigned share_kill_ms = SHARE_KILL_MS;
TIMEMS SHARE_POLL;

// What the worker and the loop's process share.
struct Shared {
    volatile uint32_t step_ms; // mono_ms() when the running step began
    volatile int finished;     // 1 once the whole result is in data
    char data[SHARE_RESULT_MAX];
};
static Shared *shared;

enum State { IDLE, RUNNING, HELD };
static State state = IDLE;
static ShareJob job;     // the running job
static pid_t worker = -1;
static uint32_t held_ms; // when the running step overran
static int killed;
static int in_worker;

void share_init(void) {
    void *m = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS,
                   -1, 0);
    if (m == MAP_FAILED) {
        // without it the share work runs in the loop, as it always did
        fprintf(stderr, "\nPartage: pas de memoire partagee (%s), travail dans la boucle\n",
                strerror(errno));
        return;
    }
    shared = (Shared *)m;
    share_inline = 0;
}

int share_busy(void) { return state != IDLE; }
int share_stuck(void) { return state == HELD; }

void share_step(void) {
    if (in_worker) shared->step_ms = mono_ms();
}

// In the worker: every inherited descriptor but the console is closed. A kernel without
// close_range has the open ones listed in /proc (a blind walk up to the limit of open
// files would cost many thousands of calls at every job).
static void close_inherited(void) {
    if (close_range(3, ~0U, 0) == 0) return;
    int fds[256], n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        const int own = dirfd(d);
        while (struct dirent *de = readdir(d))
            if (de->d_name[0] >= '0' && de->d_name[0] <= '9' && n < 256) {
                const int fd = atoi(de->d_name);
                if (fd > 2 && fd != own) fds[n++] = fd;
            }
        closedir(d);
        for (int i = 0; i < n; i++)
            close(fds[i]);
        if (n < 256) return;
    }
    for (int fd = 3; fd < 1024; fd++)
        close(fd);
}

static size_t result_size(const ShareJob *j) {
    size_t n = 0;
    for (const ShareBytes &b : j->result)
        n += b.size;
    return n;
}

// Carries the result between the job's memory and the mapping (to: into the mapping).
static void carry(const ShareJob *j, int to) {
    size_t at = 0;
    for (const ShareBytes &b : j->result) {
        if (b.size == 0) continue;
        if (to)
            memcpy(shared->data + at, b.at, b.size);
        else
            memcpy(b.at, shared->data + at, b.size);
        at += b.size;
    }
}

static void run_inline(const ShareJob *j) {
    state = RUNNING;
    j->run();
    state = IDLE;
    j->end(SHARE_DONE);
}

int share_start(const ShareJob *j) {
    if (state != IDLE) return 0;
    if (result_size(j) > SHARE_RESULT_MAX) {
        fprintf(stderr, "\nPartage: resultat de %s trop grand\n", j->name);
        return 0;
    }
    if (share_inline) {
        run_inline(j);
        return 1;
    }
    fflush(stdout);
    fflush(stderr);
    shared->finished = 0;
    shared->step_ms = mono_ms();
    const pid_t loop = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        // no worker to be had: the work is done in the loop rather than not at all
        fprintf(stderr, "\nPartage: %s dans la boucle (%s)\n", j->name, strerror(errno));
        run_inline(j);
        return 1;
    }
    if (pid == 0) {
        // the loop's process may have ended before the worker asked for the signal
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != loop) _exit(1);
        in_worker = 1;
        heartbeat_off = 1;
        close_inherited();
        j->run();
        carry(j, 1);
        shared->finished = 1;
        fflush(stdout);
        fflush(stderr);
        _exit(0);
    }
    job = *j;
    worker = pid;
    killed = 0;
    state = RUNNING;
    tim_program_ms(&SHARE_POLL, SHARE_POLL_MS);
    return 1;
}

void share_poll(void) {
    if (state == IDLE) return;
    int status = 0;
    pid_t r = waitpid(worker, &status, WNOHANG);
    if (r == worker || (r < 0 && errno == ECHILD)) {
        const int whole = r == worker && WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
                          shared->finished;
        const int was_held = state == HELD;
        if (whole && (!was_held || job.late_result)) carry(&job, 0);
        const ShareJob ended = job; // its end may start the next job at once
        state = IDLE;
        worker = -1;
        if (!whole) fprintf(stderr, "\nPartage: %s termine sans resultat\n", ended.name);
        ended.end(!whole ? SHARE_LOST : was_held ? SHARE_LATE_DONE : SHARE_DONE);
        return;
    }
    const uint32_t now = mono_ms();
    if (state == RUNNING && now - shared->step_ms > share_step_ms) {
        state = HELD;
        held_ms = now;
        fprintf(stderr, "\nPartage: %s hors delai, la boucle continue sans lui\n", job.name);
        job.end(SHARE_LATE);
    }
    if (state == HELD && !killed && now - held_ms > share_kill_ms) {
        fprintf(stderr, "\nPartage: %s arrete apres %u s\n", job.name, share_kill_ms / 1000);
        kill(worker, SIGKILL);
        killed = 1;
    }
    tim_program_ms(&SHARE_POLL, state == RUNNING ? SHARE_POLL_MS : SHARE_STUCK_POLL_MS);
}

void share_wait(void) {
    while (state == RUNNING) {
        pause_us(SHARE_POLL_MS * 1000);
        share_poll();
    }
}
