// GIEGLAN and OTCLAN order reader not built yet.
#include "fgivfgl.h"

void fct_get_info_vehicule_file_gieglan_OTCLAN(const char *, char **, const char *) {}
int CheckCodeUtile(const char *) { return 1; }
int convDataCItoCG(const char *, char *) { return 1; }
