// Network check: whether the network and the PC's share are usable.
//
// The offline marker, set by other software of the box, says the box is offline (and
// the green LED is then switched off); otherwise the box's testNetwork.sh is asked, and
// its exit status is the answer. Work on the share that runs in a worker process asks
// the two halves apart: the marker in the loop's process, the script in the worker.
#include "network.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "heartbeat.h"
#include "plat.h"

#define PATH_OFFLINE BOX_PATH("//home/KELDRAN/DATA/offline.state")
#define PATH_GREEN_LED_ON BOX_PATH("//home/KELDRAN/DATA/GREEN_LED_ON")

int network_offline(void) {
    FILE *f = fopen(PATH_OFFLINE, "r");
    if (!f) return 0;
    if (led_green_status) {
        int fd = gpio_open();
        if (fd < 0) {
            printf("Error whilst opening /dev/gpio");
        } else {
            if (unlink(PATH_GREEN_LED_ON) != 0)
                fprintf(stderr, "\nerreur d'effacement GREEN_LED_ON%s\n", strerror(errno));
            gpio_ioctl(fd, GPIO_SET, LED_GREEN);
            led_green_status = 0;
            fprintf(stderr, "\action d'éteindre la led verte \n");
            gpio_close(fd);
        }
    }
    fprintf(stderr, "\résultat du test de network offline file find \n");
    fclose(f);
    return 1;
}

int network_script(void) {
    int status = heartbeat_cmd("testNetwork.sh");
    fprintf(stderr, "\résultat du test de network %i\n", status);
    return status;
}

int testNetwork(void) { return network_offline() ? -1 : network_script(); }
