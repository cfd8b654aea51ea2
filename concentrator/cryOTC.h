// Sealing of OTCLAN files: SHA-1 fingerprint and RC4 condensate.
#pragma once

#include <stdint.h>

#define SHA1_MAXMESS 3063   // longest text CalSha1 digests (48 blocks with its padding)
#define RC4OTC_MAXMESS 3057 // longest text CalRC4OTC seals (work buffer less marker and NUL)
#define RC4_MAXKEYTEXT 39   // key characters CalRC4 reads (19 key bytes); the rest is ignored
#define OTC_MARKER 14       // length of the marker "##nnnnnnnnnn##" that CalRC4OTC inserts

extern char keyOTC[11]; // condensate key: ten upper-case hex digits (ten blanks until the first)
extern int nb_de_block; // 64-byte blocks hashed by the last CalSha1 (0 when it refused the text)

// Key permutations: entry i is the key position (1 to 10) that digit i of the instrument's
// key value moves to. Chosen by the equipment maker.
extern const unsigned char tableKeldran[10];
extern const unsigned char tableSpxBosch[10];
extern const unsigned char tableMaha[10];

// SHA-1 of the text as 40 upper-case hexadecimal digits and a NUL in Hash (41 bytes).
// A text longer than SHA1_MAXMESS is refused: Hash becomes the empty text.
void CalSha1(const char *message, char *Hash);
void left_rotate(uint32_t *res, uint32_t value, int shift);
char Conv_Ascii(char val);
char Conv_Char(char val);
// Eight upper-case hexadecimal digits of val, no terminator.
void Conv_Long(char *text, uint32_t val);
// RC4 key schedule; a key_length of 0 acts as the one-byte key 0.
void rc4_init(const unsigned char *key, unsigned key_length);
unsigned char rc4_output(void);
// Enciphers strlen(plain_text) bytes into crypted_text (may be plain_text itself), no
// terminator, under the key given as hexadecimal text.
void CalRC4(const unsigned char *plain_text, unsigned char *crypted_text, const unsigned char *key);
// Replaces the first strlen(message) + OTC_MARKER bytes of message by the condensate under
// keyOTC. An empty text or one longer than RC4OTC_MAXMESS is refused and left as it is.
void CalRC4OTC(char *message);
// Derives keyOTC from the first ten characters of cle; a shorter text is refused and
// keyOTC keeps its earlier value.
void initCleOTC(const char *cle);
