// ASA order reader.
#pragma once

void fct_get_info_vehicule_file_asa(const char *dir_asa, char **ptinfo);
