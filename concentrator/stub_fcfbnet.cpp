// BNET result file not built yet.
#include "fcfbnet.h"

void fct_create_file_bnet(char) {}
