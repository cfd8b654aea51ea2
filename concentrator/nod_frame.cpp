// Frames of the equipment line protocol: checksum, recognition of a received frame,
// record search, and the code tables that give each record's text length.
//
// A frame is STX, a first record (four-digit code and text), further records each
// opened by ETB, ETX, two upper-case hexadecimal checksum characters (XOR of every
// byte from STX through ETX) and EOT; at most MAXBYTE bytes. The receiver takes bytes
// one at a time through frame_feed, so the same rules hold on every link, and the
// dialogue finds records in the received frame by their code.
#include <string.h>

#include "file_param.h"
#include "nod.h"

// Data codes and the length of their text, in the order the dialogue was designed
// with; the last row (empty code) ends the table.
const datasize giegDataSize[50] = {
    {"0200", 10}, {"0201", 6},  {"0202", 17}, {"0203", 8},  {"0204", 15}, {"0205", 1},
    {"0206", 1},  {"0207", 40}, {"0208", 40}, {"0209", 40}, {"0210", 5},  {"0211", 35},
    {"0212", 4},  {"0213", 25}, {"0214", 20}, {"0251", 3},  {"0252", 3},  {"0253", 3},
    {"0254", 3},  {"0255", 3},  {"0256", 5},  {"0257", 3},  {"0258", 3},  {"0261", 4},
    {"0262", 4},  {"0263", 4},  {"0264", 4},  {"0265", 4},  {"0266", 4},  {"7200", 11},
    {"7204", 2},  {"7205", 1},  {"7206", 1},  {"7213", 50}, {"7214", 30}, {"7270", 50},
    {"7271", 6},  {"7272", 3},  {"7273", 14}, {"7274", 5},  {"7905", 5},  {"7275", 15},
    {"7276", 7},  {"7277", 6},  {"7278", 25}, {"7909", 25}, {"7279", 5},  {"7280", 1},
    {"7911", 1},  {"", 0},
};

// Text lengths of an instrument's identification items, in the order they are read:
// 0300..0314, 7003, 7007, 7011, 7350, 7351, 7352, 7012, 7353, 7354, 7529.
const char tailleGiegDataID[25] = {20, 20, 20, 20, 8,  8,  5,  5,  5,  5,  8,  8, 8,
                                   20, 20, 15, 5,  15, 15, 5,  15, 10, 10, 15, 15};

static char hexdigit(int nibble) { return (char)(nibble < 10 ? '0' + nibble : 'A' + nibble - 10); }

void frame_csum(const char *s, int n, char *out) {
    unsigned char sum = 0;
    for (int i = 0; i < n; i++)
        sum ^= (unsigned char)s[i];
    out[0] = hexdigit(sum >> 4);
    out[1] = hexdigit(sum & 0x0F);
}

int checkcsum(const char *str) {
    int csize = (int)strlen(str) - 3; // position of the first checksum character
    if (csize < 1) return 1;
    char cs[2];
    frame_csum(str, csize, cs);
    return (str[csize] == cs[0] && str[csize + 1] == cs[1] && str[csize + 2] == EOT) ? 0 : 1;
}

int codeToSize(const char *code) {
    if (strcmp(save_protocol, "OTCLAN") == 0 && strcmp(code, "0200") == 0) return 11;
    for (const datasize *row = giegDataSize; row->code[0]; row++)
        if (strcmp(row->code, code) == 0) return row->size;
    return 0;
}

int frame_feed(char *buf, int *n, char c) {
    if (c == STX) {
        buf[0] = STX;
        buf[1] = 0;
        *n = 1;
        return FRAME_MORE;
    }
    if (*n == 0) return FRAME_MORE; // still before the first STX: dropped
    int pos = *n < MAXBYTE ? *n : MAXBYTE;
    buf[pos] = c;
    if (*n <= MAXBYTE) (*n)++;
    buf[*n < MAXBYTE ? *n : MAXBYTE] = 0;
    if (c != EOT) return FRAME_MORE;
    return *n >= 9 ? FRAME_DONE : FRAME_SHORT;
}

int frame_code(const char *frame) {
    int code = 0;
    if (frame[0] == 0 || frame[1] == 0) return 0; // the text ends before its code
    for (int i = 2; i < 5 && frame[i] >= '0' && frame[i] <= '9'; i++)
        code = code * 10 + (frame[i] - '0');
    return code;
}

const char *frame_record(const char *frame, const char *code) {
    for (int i = 0; i <= MAXBYTE; i++) {
        char c = frame[i];
        if (c == ETX || c == EOT || c == 0) return nullptr;
        if ((c == STX || c == ETB) && strncmp(frame + i + 1, code, 4) == 0) return frame + i + 5;
    }
    return nullptr;
}

int frame_record_text(const char *frame, const char *code, int len, char *dest, int destsize) {
    const char *text = frame_record(frame, code);
    if (!text) return 0;
    if (len > destsize - 1) len = destsize - 1;
    int k = 0;
    while (k < len && text[k]) {
        dest[k] = text[k];
        k++;
    }
    dest[k] = 0;
    return 1;
}
