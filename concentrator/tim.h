// Millisecond one-shot software timers, polled against the time of day.
#pragma once

#include <stdint.h>

// One timer: armed at s.us (time of day) for ms milliseconds. All zero: never armed,
// which counts as run out.
struct TIMEMS {
    int32_t s;      // seconds of the time of day when armed
    uint32_t ms;    // duration in milliseconds
    int32_t us;     // microseconds (0 to 999999) of the time of day when armed
    uint32_t round; // reserved
    uint8_t over;   // reserved
};

// Arms (or re-arms) a timer for duree_ms milliseconds from now.
void tim_program_ms(TIMEMS *programme2, uint32_t duree_ms);
// 1 when strictly more than the duration has passed since arming, else 0.
int tim_verif_program_ms(TIMEMS verif_program2);
// Microseconds left before the timer runs out; 0 once it has.
int64_t tim_left_us(TIMEMS t);
// Microseconds until the nearest of the n timers has run out (strictly past its
// duration); 0 when one of them has.
int64_t tim_nearest_us(const TIMEMS *const *timers, int n);

// Timers of the concentrator.
extern TIMEMS TIME_1S;        // result reception waits and PC order reads
extern TIMEMS CLIMBING_LED;   // heartbeat LED and liveness file
extern TIMEMS OFFFREQ;        // the loop's second counter
extern TIMEMS ASKPLAQUE;      // pacing of the plate list
extern TIMEMS ASKEQUIPONESEC; // pacing and reply time-out of the equipment scan
extern TIMEMS START_MIN;      // waits inside a multi-code transmission
extern TIMEMS START_MIN2;     // reply waits (acknowledgement, bytes, identification)
