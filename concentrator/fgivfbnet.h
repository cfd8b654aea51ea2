// BNET order reader.
#pragma once

void fct_get_info_vehicule_file_bnet(const char *dir_bnet, char **ptinfo);
