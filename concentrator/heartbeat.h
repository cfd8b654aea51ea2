// Heartbeat: the LEDs, the loop's second counter and the liveness file.
#pragma once

extern char led_green_status;     // 1 while the green LED is lit
extern unsigned int light_on_off; // heartbeat phase; odd: line 81 set, even: cleared
extern unsigned int watch_dog;    // liveness counter written to the watch_dog file
extern int cpt_offfreq;           // seconds counted since the last reset of the dialogue

// Issues GPIO requests (pairs of request and line, count pairs) on a freshly opened
// device, then closes it. Prints "Error whilst opening /dev/gpio" and returns -1 when
// the device does not open.
int led_requests(const unsigned long *requests, const int *lines, int count);
// Services the heartbeat LED and the liveness file when CLIMBING_LED has run out.
void climbing_led_watch_dog(void);
// Counts a second when OFFFREQ has run out (cpt_offfreq and watch_dog), then services
// the heartbeat LED and the liveness file.
void heartbeat(void);
