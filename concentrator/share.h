// Work on the PC's share, away from the loop: one job at a time in a worker process,
// each step of it with a deadline, its result carried back to the loop.
#pragma once

#include <stddef.h>

#include "tim.h"

// Each step of a job (the network check, an order reading, one delivery, the clock file)
// must end within this time; past it the share counts as unusable for that pass.
#define SHARE_STEP_MS 5000
// How often the loop looks at a running job, and at one that overran its deadline.
#define SHARE_POLL_MS 10
#define SHARE_STUCK_POLL_MS 1000
// A worker still held by the share this long after its deadline is killed, so that a
// share that never answers cannot stop the share work for good.
#define SHARE_KILL_MS 300000
// Room for the result a job carries back (the order table is the largest).
#define SHARE_RESULT_MAX 65536

// How a job ended, as its end function is told.
#define SHARE_DONE 0      // within its deadlines: its result is back
#define SHARE_LATE 1      // a step overran its deadline: no result, the job goes on alone
#define SHARE_LATE_DONE 2 // a job that had overran has ended since: its result is back
#define SHARE_LOST 3      // ended without a result (the worker died)

// Bytes a job leaves for the loop's process.
struct ShareBytes {
    void *at;
    size_t size;
};
#define SHARE_PARTS 3

// One kind of job. run does the work (in the worker, or in the caller in inline mode)
// and leaves its result in the parts (unused ones have size 0); end runs in the loop's
// process once the result is back (or the job overran or was lost), with one of the
// values above. A job that overran gets end twice: SHARE_LATE, then SHARE_LATE_DONE or
// SHARE_LOST when its worker ends; its result is carried back then only when
// late_result is 1 (a late reading of the share is not the share as it is now).
struct ShareJob {
    const char *name;
    void (*run)(void);
    void (*end)(int how);
    ShareBytes result[SHARE_PARTS];
    int late_result;
};

extern int share_inline; // 1: jobs run in the calling process, at once (tests, fuzzing)
extern unsigned share_step_ms; // deadline of a step (SHARE_STEP_MS; tests shorten it)
extern unsigned share_kill_ms; // when a held worker is killed (SHARE_KILL_MS; likewise)
extern TIMEMS SHARE_POLL; // armed while a job runs: when the loop looks at it next

// Start-up of the programs: the mapping that carries results back; from then on every
// job runs in a worker process. Without it (tests, fuzzing) jobs run inline.
void share_init(void);
// Starts a job; 1 when started (inline: run and ended already), 0 when a job is running
// or held by the share (the caller tries again later).
int share_start(const ShareJob *job);
// 1 while a job runs or a worker is held by the share; share_stuck: held past its
// deadline.
int share_busy(void);
int share_stuck(void);
// The loop's look at the running job: ends it when its worker has finished, tells its
// owner when a step overran. Called once a pass.
void share_poll(void);
// Waits, sleeping, until the running job has ended or overran (start-up only, before the
// loop runs).
void share_wait(void);
// In a job: a new step begins, with a deadline of its own.
void share_step(void);
