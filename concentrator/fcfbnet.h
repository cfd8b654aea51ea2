// BNET result file.
#pragma once

#include <stdio.h>

extern char path_create_bnet[160]; // path of the result file being written
extern FILE *create_file_bnet;     // the open result file (null outside the call)
extern char BnetMesure[60];        // value of the line being written

// Writes the headlamp result of the vehicle in slot Cur_plaque of voiture, from the
// measures in SM, as "<plate>.dat" in DataExchange/ImportResults under save_path,
// through the outbox.
void fct_create_file_bnet(char Cur_plaque);
