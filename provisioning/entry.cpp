// The factory provisioning program: one pass over the production file a second, for
// ever (the passes are in prod.cpp).
#include <stdio.h>

#include "plat.h"
#include "prod.h"

int main(void) {
    for (;;) {
        prod_pass();
        fflush(stdout);
        pause_us(1000000);
    }
}
