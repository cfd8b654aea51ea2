// Millisecond timers: a timer records when it was armed and for how long; asking it
// compares the time passed with the duration in 64-bit microseconds, so a timer left
// unpolled for hours still reads as run out. Nothing sleeps and nothing is signalled.
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

int tim_verif_program_ms(TIMEMS verif_program2) {
    int64_t time_to_go_in_us = (int64_t)verif_program2.ms * 1000;
    struct timeval tv;
    now_tv(&tv);
    int64_t time_past_us = ((int64_t)(int32_t)tv.tv_sec - verif_program2.s) * 1000000 +
                           ((int64_t)tv.tv_usec - verif_program2.us);
    return time_past_us > time_to_go_in_us ? 1 : 0;
}
