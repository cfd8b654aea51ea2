// Sealing of OTCLAN files. The fingerprint is the SHA-1 digest of a text, written as
// upper-case hexadecimal; the condensate is the same text with a random marker
// "##nnnnnnnnnn##" slipped in, enciphered with RC4 under a five-byte key derived from the
// instrument's own key value. Everything works in fixed static storage: the padded SHA-1
// message and the marked text share one 3072-byte work buffer, so the digest and the
// condensate are computed one after the other, never interleaved. Texts that do not fit
// the work buffer are refused, never cut: a cut text would give a seal that looks right
// and covers less than the file.
#include "cryOTC.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "file_param.h"
#include "plat.h"

#define NB_BLOC 48 // 64-byte blocks of the work buffer

char keyOTC[11] = "          ";
int nb_de_block;

const unsigned char tableKeldran[10] = {3, 7, 1, 10, 5, 2, 9, 4, 8, 6};
const unsigned char tableSpxBosch[10] = {6, 1, 8, 3, 10, 4, 2, 9, 7, 5};
const unsigned char tableMaha[10] = {9, 4, 6, 2, 7, 10, 1, 5, 3, 8};

// Which permutation a maker's key goes through: the first row whose prefix begins
// save_client; the last row (empty prefix) is the default.
struct keytable {
    const char *prefix;
    const unsigned char *table;
};
static const keytable keyTables[] = {
    {"SPX", tableSpxBosch},
    {"MAHA", tableMaha},
    {"", tableKeldran},
};

static const unsigned char *key_table_of(const char *client) {
    for (const keytable &row : keyTables)
        if (strncmp(client, row.prefix, strlen(row.prefix)) == 0) return row.table;
    return tableKeldran;
}

static unsigned char buffmess[NB_BLOC * 64];

// SHA-1 state.
static uint32_t h0, h1, h2, h3, h4;
static uint32_t w[80];

// RC4 state.
static unsigned char S[256];
static unsigned irc, jrc;

void left_rotate(uint32_t *res, uint32_t value, int shift) {
    shift &= 31;
    *res = shift ? (value << shift) | (value >> (32 - shift)) : value;
}

char Conv_Ascii(char val) {
    return (char)(val < 10 ? '0' + val : val + 55);
}

char Conv_Char(char val) {
    return (char)(val >= '0' && val <= '9' ? val - '0' : val - 55);
}

void Conv_Long(char *text, uint32_t val) {
    for (int i = 0; i < 8; i++)
        text[i] = Conv_Ascii((char)((val >> (28 - 4 * i)) & 0x0F));
}

static void sha1_block(const unsigned char *blk) {
    for (int t = 0; t < 16; t++)
        w[t] = (uint32_t)blk[4 * t] << 24 | (uint32_t)blk[4 * t + 1] << 16 |
               (uint32_t)blk[4 * t + 2] << 8 | (uint32_t)blk[4 * t + 3];
    for (int t = 16; t < 80; t++)
        left_rotate(&w[t], w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);

    uint32_t a = h0, b = h1, c = h2, d = h3, e = h4, f, k, temp;
    for (int t = 0; t < 80; t++) {
        if (t < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999;
        } else if (t < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1;
        } else if (t < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDC;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6;
        }
        left_rotate(&temp, a, 5);
        temp += f + e + k + w[t];
        e = d;
        d = c;
        left_rotate(&c, b, 30);
        b = a;
        a = temp;
    }
    h0 += a;
    h1 += b;
    h2 += c;
    h3 += d;
    h4 += e;
}

void CalSha1(const char *message, char *Hash) {
    size_t lg = strlen(message);
    if (lg > SHA1_MAXMESS) {
        nb_de_block = 0;
        Hash[0] = 0;
        return;
    }
    h0 = 0x67452301;
    h1 = 0xEFCDAB89;
    h2 = 0x98BADCFE;
    h3 = 0x10325476;
    h4 = 0xC3D2E1F0;

    // Padding: 0x80, zeros up to 8 bytes before a 64-byte boundary, the bit length.
    size_t zero_a_ajoute = (size_t)((55 - (long)lg) % 64 + 64) % 64;
    memcpy(buffmess, message, lg);
    buffmess[lg] = 0x80;
    memset(buffmess + lg + 1, 0, zero_a_ajoute);
    uint64_t biglg = (uint64_t)lg * 8;
    size_t lgw = lg + 1 + zero_a_ajoute;
    for (int i = 0; i < 8; i++)
        buffmess[lgw + i] = (unsigned char)(biglg >> (56 - 8 * i));
    lgw += 8;
    nb_de_block = (int)(lgw / 64);

    for (int block = 0; block < nb_de_block; block++)
        sha1_block(buffmess + 64 * block);

    Conv_Long(Hash, h0);
    Conv_Long(Hash + 8, h1);
    Conv_Long(Hash + 16, h2);
    Conv_Long(Hash + 24, h3);
    Conv_Long(Hash + 32, h4);
    Hash[40] = 0;
}

void rc4_init(const unsigned char *key, unsigned key_length) {
    for (int i = 0; i < 256; i++)
        S[i] = (unsigned char)i;
    jrc = 0;
    for (irc = 0; irc < 256; irc++) {
        unsigned char kb = key_length ? key[irc % key_length] : 0;
        jrc = (jrc + S[irc] + kb) & 0xFF;
        unsigned char t = S[irc];
        S[irc] = S[jrc];
        S[jrc] = t;
    }
    irc = jrc = 0;
}

unsigned char rc4_output(void) {
    irc = (irc + 1) & 0xFF;
    jrc = (jrc + S[irc]) & 0xFF;
    unsigned char t = S[irc];
    S[irc] = S[jrc];
    S[jrc] = t;
    return S[(S[irc] + S[jrc]) & 0xFF];
}

void CalRC4(const unsigned char *plain_text, unsigned char *crypted_text,
            const unsigned char *key) {
    unsigned char keyBin[20];
    size_t tailleCle = strlen((const char *)key);
    if (tailleCle > RC4_MAXKEYTEXT) tailleCle = RC4_MAXKEYTEXT;
    for (size_t i = 0; i + 1 < tailleCle; i += 2) {
        int hi = Conv_Char((char)key[i]);
        int lo = Conv_Char((char)key[i + 1]);
        keyBin[i / 2] = (unsigned char)((unsigned)(hi * 16 + lo) & 0xFF);
    }
    keyBin[tailleCle / 2] = 0;
    rc4_init(keyBin, (unsigned)(tailleCle / 2));

    size_t n = strlen((const char *)plain_text);
    for (size_t i = 0; i < n; i++)
        crypted_text[i] = plain_text[i] ^ rc4_output();
}

void CalRC4OTC(char *message) {
    size_t taille = strlen(message);
    if (taille == 0 || taille > RC4OTC_MAXMESS) return;

    srand((unsigned)now_s());
    unsigned long randvalue = (unsigned long)rand() % 10000000000UL;
    char randtext[OTC_MARKER + 1];
    snprintf(randtext, sizeof randtext, "##%010lu##", randvalue);
    size_t position = (size_t)rand() % taille;

    memcpy(buffmess, message, position);
    memcpy(buffmess + position, randtext, OTC_MARKER);
    memcpy(buffmess + position + OTC_MARKER, message + position, taille - position);
    buffmess[taille + OTC_MARKER] = 0;

    CalRC4(buffmess, (unsigned char *)message, (const unsigned char *)keyOTC);
}

void initCleOTC(const char *cle) {
    if (strnlen(cle, 10) < 10) return;
    const unsigned char *table = key_table_of(save_client);
    for (int i = 0; i < 10; i++) {
        int p = table[i] - 1;
        int c = (signed char)cle[i];
        int v = c < 'A' ? c - '0' : c - 55;
        // Each digit is lowered by one, 0 turning into F. A character that is not an
        // upper-case hexadecimal digit stays distinct from every digit.
        v = v == 0 ? 15 : v - 1;
        keyOTC[p] = Conv_Ascii((char)v);
    }
    keyOTC[10] = 0;
}
