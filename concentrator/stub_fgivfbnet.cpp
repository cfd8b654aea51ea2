// BNET order reader not built yet.
#include "fgivfbnet.h"

void fct_get_info_vehicule_file_bnet(const char *, char **) {}
