// ASA order reader not built yet.
#include "fgivfa.h"

void fct_get_info_vehicule_file_asa(const char *, char **) {}
