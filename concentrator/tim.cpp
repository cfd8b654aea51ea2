// Millisecond timers: a timer records when it was armed and for how long; asking it
// compares the time passed with the duration in 64-bit microseconds, so a timer left
// unpolled for hours still reads as run out. Nothing is signalled: whoever waits asks
// how long is left until the nearest of the timers it waits for, and sleeps that long.
#include "tim.h"

#include "plat.h"

TIMEMS TIME_1S;
TIMEMS CLIMBING_LED;
TIMEMS OFFFREQ;
TIMEMS ASKPLAQUE;
TIMEMS ASKEQUIPONESEC;
TIMEMS START_MIN;
TIMEMS START_MIN2;

void tim_program_ms(TIMEMS *programme2, uint32_t duree_ms) {
    struct timeval tv;
    now_tv(&tv);
    programme2->s = (int32_t)tv.tv_sec;
    programme2->us = (int32_t)tv.tv_usec;
    programme2->ms = duree_ms;
}

// Microseconds since the timer was armed.
static int64_t past_us(const TIMEMS &t) {
    struct timeval tv;
    now_tv(&tv);
    return ((int64_t)(int32_t)tv.tv_sec - t.s) * 1000000 + ((int64_t)tv.tv_usec - t.us);
}

int tim_verif_program_ms(TIMEMS verif_program2) {
    return past_us(verif_program2) > (int64_t)verif_program2.ms * 1000 ? 1 : 0;
}

int64_t tim_left_us(TIMEMS t) {
    int64_t left = (int64_t)t.ms * 1000 - past_us(t);
    return left > 0 ? left : 0;
}

int64_t tim_nearest_us(const TIMEMS *const *timers, int n) {
    int64_t nearest = INT64_MAX;
    for (int i = 0; i < n; i++) {
        int64_t left = (int64_t)timers[i]->ms * 1000 - past_us(*timers[i]);
        if (left < 0) return 0;
        if (left + 1 < nearest) nearest = left + 1; // run out one microsecond past
    }
    return nearest;
}
