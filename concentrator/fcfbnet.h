// BNET result file.
#pragma once

void fct_create_file_bnet(char Cur_plaque);
