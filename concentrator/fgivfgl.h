// GIEGLAN and OTCLAN order reader.
#pragma once

void fct_get_info_vehicule_file_gieglan_OTCLAN(const char *dir_gieglan, char **ptinfo,
                                               const char *protocol);
int CheckCodeUtile(const char *chaine);
int convDataCItoCG(const char *chaine, char *dest);
