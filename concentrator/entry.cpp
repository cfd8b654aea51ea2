// Entry of the concentrator: start-up, then the polling loop for the life of the process.
#include "main.h"

int main(int argc, char **argv) {
    if (startup(argc, argv)) return 0;
    for (;;)
        loop_pass();
}
