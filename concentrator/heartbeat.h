// Heartbeat: the LEDs, the loop's second counter and the liveness file.
#pragma once

#include <stdint.h>

#include "tim.h"

extern char led_green_status;     // 1 while the green LED is lit
extern unsigned int light_on_off; // heartbeat phase; odd: line 81 set, even: cleared
extern unsigned int watch_dog;    // liveness counter written to the watch_dog file
extern int cpt_offfreq;           // seconds counted since the last reset of the dialogue
extern int heartbeat_off;         // 1 in a worker process of the share: the heartbeat is
                                  // the loop's alone, a worker never touches it

// Issues GPIO requests (pairs of request and line, count pairs) on a freshly opened
// device, then closes it. Prints "Error whilst opening /dev/gpio" and returns -1 when
// the device does not open.
int led_requests(const unsigned long *requests, const int *lines, int count);
// Services the heartbeat LED and the liveness file when CLIMBING_LED has run out.
void climbing_led_watch_dog(void);
// Counts a second when OFFFREQ has run out (cpt_offfreq and watch_dog), then services
// the heartbeat LED and the liveness file.
void heartbeat(void);

// Every wait that can last more than a second goes through these, so the heartbeat
// and the liveness file never stall, whatever the equipment does.
//
// Waits up to us microseconds in slices that end at each deadline of the heartbeat,
// which is serviced between them. wait_slice(slice_us) waits at most slice_us (it is
// called at least once, with 0 when us is 0) and returns non-zero when what it waits
// for has come; that value is returned, 0 when nothing came within us.
int heartbeat_wait(long us, int (*wait_slice)(long slice_us));
// Sleeps us microseconds, servicing the heartbeat.
void heartbeat_sleep_us(int64_t us);
// Sleeps until the timer has run out, servicing the heartbeat.
void heartbeat_sleep_out(TIMEMS t);
// Runs a shell command line (run_cmd), servicing the heartbeat while it runs: the
// network check may take seconds when the share's server is gone.
int heartbeat_cmd(const char *cmd);
// Sleeps until the nearest of the n timers has run out, a second at most, servicing
// the heartbeat; the heartbeat's own timers count among them.
void heartbeat_idle(const TIMEMS *const *timers, int n);
