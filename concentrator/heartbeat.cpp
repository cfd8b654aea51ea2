// Heartbeat: the LEDs, the second counter and the liveness file.
//
// The loop counts a second each time OFFFREQ runs out (watch_dog, the liveness counter,
// and cpt_offfreq, which paces the reset of a lost dialogue), and the heartbeat LED on
// GPIO line 81 changes state each time CLIMBING_LED runs out; at every second change
// the value of watch_dog is written to the liveness file, which an outside supervisor
// watches. Every use of the GPIO device opens it, issues its requests and closes it.
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
    if (!tim_verif_program_ms(CLIMBING_LED)) return;
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
    if (tim_verif_program_ms(OFFFREQ)) {
        cpt_offfreq++;
        tim_program_ms(&OFFFREQ, 1000);
        watch_dog++;
    }
    climbing_led_watch_dog();
}
