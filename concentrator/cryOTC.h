// Sealing of OTCLAN files: SHA-1 fingerprint and RC4 condensate.
#pragma once

#include <stdint.h>

extern char keyOTC[11]; // condensate key: ten upper-case hexadecimal digits

void CalSha1(const char *message, char *Hash);
void left_rotate(uint32_t *res, uint32_t value, int shift);
char Conv_Ascii(char val);
char Conv_Char(char val);
void Conv_Long(char *text, uint32_t val);
void rc4_init(const unsigned char *key, unsigned key_length);
unsigned char rc4_output(void);
void CalRC4(const unsigned char *plain_text, unsigned char *crypted_text, const unsigned char *key);
void CalRC4OTC(char *message);
void initCleOTC(const char *cle);
