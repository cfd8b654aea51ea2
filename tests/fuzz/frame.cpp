// Fuzz target: bytes from the link taken one at a time by the frame recognition, and
// every complete frame searched as the dialogue searches it: its result code, its
// checksum, the records of the codes the dialogue looks for and the copy of their text.
//
// Input: the bytes as they come from the link. The first byte also chooses the station
// protocol (odd: OTCLAN, where "0200" is 11 long), on which the record sizes depend.
//
// Each complete frame is copied into a block of its own length, so a search that reads
// past the frame's end is seen by the address sanitizer.
#include <stdlib.h>
#include <string.h>

#include "boxtest.h"
#include "file_param.h"
#include "fuzzsupport.h"
#include "nod.h"

// Codes the dialogue looks up in received frames.
static const char *const codes[] = {"0101", "0111", "0122", "0188", "0200", "0300",
                                    "0302", "0312", "0500", "0905", "7012", "7200"};

static void search(const char *frame) {
    const int code = frame_code(frame);
    FUZZ_CHECK(code >= 0 && code <= 999, "a result code has three digits");
    checkcsum(frame);
    for (const char *c : codes) {
        const char *text = frame_record(frame, c);
        if (text) {
            FUZZ_CHECK(text >= frame + 5 && text <= frame + strlen(frame), "record within the frame");
            FUZZ_CHECK((text[-5] == STX || text[-5] == ETB) && strncmp(text - 4, c, 4) == 0,
                       "a record is STX or ETB and its code");
        }
        int len = codeToSize(c);
        if (len == 0) len = 20;
        for (int destsize : {1, 4, len + 1}) {
            char *dest = static_cast<char *>(malloc((size_t)destsize));
            int found = frame_record_text(frame, c, len, dest, destsize);
            FUZZ_CHECK(found == (text != nullptr), "the copy finds what the search finds");
            if (found) {
                size_t n = strlen(dest);
                FUZZ_CHECK(n < (size_t)destsize && n <= (size_t)len, "the copy is bounded");
                FUZZ_CHECK(strncmp(dest, text, n) == 0, "the copy is the record's text");
            }
            free(dest);
        }
    }
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::start();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    snprintf(save_protocol, sizeof save_protocol, "%s",
             size > 0 && (data[0] & 1) ? "OTCLAN" : "GIEGLAN");
    char *buf = static_cast<char *>(malloc(SIZE_ENVELOPPE));
    memset(buf, 0, SIZE_ENVELOPPE);
    int n = 0;
    for (size_t i = 0; i < size; i++) {
        int st = frame_feed(buf, &n, (char)data[i]);
        FUZZ_CHECK(n >= 0 && n <= MAXBYTE + 1, "the byte count stays within a frame");
        FUZZ_CHECK(memchr(buf, 0, MAXBYTE + 1) != nullptr, "the frame stays terminated");
        if (st == FRAME_MORE) continue;
        if (st == FRAME_DONE) {
            size_t len = strlen(buf);
            // (a NUL byte of the link shortens the text: such a frame fails its checksum)
            FUZZ_CHECK(len <= MAXBYTE, "a complete frame has 80 bytes at most");
            char *frame = static_cast<char *>(malloc(len + 1));
            memcpy(frame, buf, len + 1);
            search(frame);
            free(frame);
        }
        n = 0;
    }
    free(buf);
    return 0;
}
