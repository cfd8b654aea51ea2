// Heartbeat: the LEDs, the second counter and the liveness file.
//
// The loop counts a second each time OFFFREQ runs out (watch_dog, the liveness counter,
// and cpt_offfreq, which paces the reset of a lost dialogue), and the heartbeat LED on
// GPIO line 81 changes state each time CLIMBING_LED runs out; at every second change
// the value of watch_dog is written to the liveness file, which an outside supervisor
// watches. Every use of the GPIO device opens it, issues its requests and closes it.
//
// The loop services the heartbeat between its passes; every wait that may last longer
// (for an acknowledgement, a frame, a connection, a device, a shell command) waits in
// slices that end at the heartbeat's next deadline and services it in between, so the
// liveness value grows every second whatever the equipment or the network does. The
// loop's second counter cpt_offfreq is counted in the same place: it counts the seconds
// of the waits as well, so a lost dialogue is reset ten seconds after the last reset in
// time, not in passes.
#include "heartbeat.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "plat.h"
#include "tim.h"

char led_green_status;
unsigned int light_on_off;
unsigned int watch_dog;
int cpt_offfreq;
int heartbeat_off;

int led_requests(const unsigned long *requests, const int *lines, int count) {
    int fd = gpio_open();
    if (fd < 0) {
        printf("Error whilst opening /dev/gpio");
        return -1;
    }
    for (int i = 0; i < count; i++)
        gpio_ioctl(fd, requests[i], lines[i]);
    gpio_close(fd);
    return 0;
}

void climbing_led_watch_dog(void) {
    if (heartbeat_off || !tim_verif_program_ms(CLIMBING_LED)) return;
    light_on_off++;
    tim_program_ms(&CLIMBING_LED, 1000);
    if (light_on_off % 2) {
        const unsigned long req[] = {GPIO_SET};
        const int lines[] = {LED_HEART};
        led_requests(req, lines, 1);
        return;
    }
    const unsigned long req[] = {GPIO_CLEAR};
    const int lines[] = {LED_HEART};
    led_requests(req, lines, 1);
    FILE *f = fopen(BOX_PATH("//home/KELDRAN/DATA/watch_dog"), "w");
    if (!f) {
        fprintf(stderr, "\nerreur d'écriture %s\n", strerror(errno));
        return;
    }
    fprintf(f, "%i", watch_dog);
    fclose(f);
}

void heartbeat(void) {
    if (heartbeat_off) return;
    if (tim_verif_program_ms(OFFFREQ)) {
        cpt_offfreq++;
        tim_program_ms(&OFFFREQ, 1000);
        watch_dog++;
    }
    climbing_led_watch_dog();
}

// 1 once start-up has armed the heartbeat LED's timer: a wait of start-up before that
// leaves the heartbeat alone, and so does every wait of a worker process of the share.
static int heartbeat_started(void) { return CLIMBING_LED.ms != 0 && !heartbeat_off; }

// Microseconds until a timer of the heartbeat runs out.
static int64_t heartbeat_due_us(void) {
    static const TIMEMS *const timers[] = {&OFFFREQ, &CLIMBING_LED};
    return heartbeat_started() ? tim_nearest_us(timers, 2) : INT64_MAX;
}

static int64_t now_us(void) {
    struct timeval tv;
    now_tv(&tv);
    return (int64_t)tv.tv_sec * 1000000 + tv.tv_usec;
}

int heartbeat_wait(long us, int (*wait_slice)(long slice_us)) {
    const int64_t end = now_us() + us;
    for (;;) {
        int64_t left = end - now_us();
        if (left < 0) left = 0;
        int64_t due = heartbeat_due_us();
        int64_t slice = due < left ? due : left;
        int r = wait_slice((long)slice);
        if (r) return r;
        if (slice >= left) return 0;
        heartbeat();
    }
}

static int sleep_slice(long us) {
    pause_us((unsigned)us);
    return 0;
}

void heartbeat_sleep_us(int64_t us) {
    if (us > 0) heartbeat_wait((long)us, sleep_slice);
}

void heartbeat_sleep_out(TIMEMS t) {
    while (!tim_verif_program_ms(t))
        heartbeat_sleep_us(tim_left_us(t) + 1);
}

static void heartbeat_between(void) {
    if (heartbeat_started()) heartbeat();
}

int heartbeat_cmd(const char *cmd) { return run_cmd_between(cmd, heartbeat_between); }

void heartbeat_idle(const TIMEMS *const *timers, int n) {
    int64_t us = tim_nearest_us(timers, n);
    int64_t due = heartbeat_due_us();
    if (due < us) us = due;
    heartbeat_sleep_us(us < 1000000 ? us : 1000000);
    heartbeat();
}
