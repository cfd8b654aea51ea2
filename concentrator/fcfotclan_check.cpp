// Validators of the OTCLAN fields: each walks a NUL-terminated text once and answers
// 0 when it keeps to its rule, 1 when it does not. They neither change the text nor keep
// any state. Bytes are taken as unsigned, so a byte above 0x7F is never mistaken for a
// small one.
#include <string.h>

#include "fcfotclan.h"

// True when every byte of source lies in one of the ranges [lo[i], hi[i]].
static int all_in(const char *source, const unsigned char *lo, const unsigned char *hi, int n) {
    for (const unsigned char *p = (const unsigned char *)source; *p; p++) {
        int ok = 0;
        for (int i = 0; i < n && !ok; i++)
            ok = *p >= lo[i] && *p <= hi[i];
        if (!ok) return 0;
    }
    return 1;
}

int check_ascii(const char *source) {
    static const unsigned char lo[] = {0x20, 0x7B}, hi[] = {0x60, 0x7E};
    return all_in(source, lo, hi, 2) ? 0 : 1;
}

int check_AsciiV2(const char *source) {
    static const unsigned char lo[] = {0x20}, hi[] = {0x7E};
    return all_in(source, lo, hi, 1) ? 0 : 1;
}

int check_lettre(const char *source) {
    static const unsigned char lo[] = {'A'}, hi[] = {'Z'};
    return all_in(source, lo, hi, 1) ? 0 : 1;
}

int check_lettreV2(const char *source) {
    static const unsigned char lo[] = {'A', '0'}, hi[] = {'Z', '9'};
    return all_in(source, lo, hi, 2) ? 0 : 1;
}

int check_Number(const char *source, int NbreChiffreApresVirgule) {
    int point = 0;
    int decimals = 0;
    for (const char *p = source; *p; p++) {
        if (*p == '.') {
            point = 1;
            decimals = 0;
        } else if (*p >= '0' && *p <= '9') {
            if (point) decimals++;
        } else {
            return 1;
        }
    }
    if (!point) return NbreChiffreApresVirgule == 0 ? 0 : 1;
    return decimals == NbreChiffreApresVirgule ? 0 : 1;
}

// Value of n digits at p (digits already checked).
static int num(const char *p, int n) {
    int v = 0;
    for (int i = 0; i < n; i++)
        v = v * 10 + (p[i] - '0');
    return v;
}

int check_date(const char *source) {
    size_t len = strlen(source);
    if (len != 8 && len != 14) return 1;
    for (size_t i = 0; i < len; i++)
        if (source[i] < '0' || source[i] > '9') return 1;

    // Last day of each month; February has 29 whatever the year.
    static const int lastDay[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int day = num(source, 2), month = num(source + 2, 2), year = num(source + 4, 4);
    if (year < 1800 || month < 1 || month > 12) return 1;
    if (day < 1 || day > lastDay[month - 1]) return 1;
    if (len == 14 &&
        (num(source + 8, 2) > 23 || num(source + 10, 2) > 59 || num(source + 12, 2) > 59))
        return 1;
    return 0;
}
