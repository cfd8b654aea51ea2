// Start-up and main loop of the concentrator.
#pragma once

extern int order_find; // order bookkeeping, cleared at start-up

// Banner printed first thing.
#define BANNER "\nVARN V1.18 Jan 26 2018 15:34:18"

// Start-up steps 1 to 13; returns 1 when the program is to end here (one argument).
int startup(int argc, char **argv);
// One pass of the polling loop.
void loop_pass(void);
void programme(void);
void initram(void);
