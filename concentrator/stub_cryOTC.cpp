// Sealing not built yet.
#include "cryOTC.h"

char keyOTC[11] = "          ";
void CalSha1(const char *, char *Hash) { Hash[0] = 0; }
void left_rotate(uint32_t *res, uint32_t value, int) { *res = value; }
char Conv_Ascii(char val) { return val; }
char Conv_Char(char val) { return val; }
void Conv_Long(char *, uint32_t) {}
void rc4_init(const unsigned char *, unsigned) {}
unsigned char rc4_output(void) { return 0; }
void CalRC4(const unsigned char *, unsigned char *, const unsigned char *) {}
void CalRC4OTC(char *) {}
void initCleOTC(const char *) {}
