// Fuzz target: the reception of results (savdata) as the scan runs it, fed by a link
// backend of its own that plays the input's bytes as what the equipment sends. Every
// frame the transport recognises that opens a result ("0111" from a single instrument,
// "0122" plus a key from a hub) starts a reception, which goes on reading frames,
// acknowledging each, until "0905" or five seconds of silence.
//
// Input: the first byte chooses a single instrument or a hub (bit 0) and how many of
// the four vehicle slots hold a vehicle (bits 1-2); the rest are the link's bytes, one
// byte at a time. When they are used up, the link stays silent (or is gone: bit 3).
#include <stdio.h>
#include <string.h>

#include <string>

#include "boxtest.h"
#include "file_param.h"
#include "fuzzsupport.h"
#include "link.h"
#include "nod.h"

namespace {

const uint8_t *in;
size_t in_len, in_pos;
bool gone_at_end;
long long quiet_since_us; // the clock when the last byte was taken
int bad_sends;            // frames sent that are neither an acknowledgement nor a refusal

std::string frame_of(const char *records) {
    std::string f = std::string("\x02") + records + "\x03";
    unsigned char sum = 0;
    for (unsigned char c : f)
        sum ^= c;
    char cs[3];
    snprintf(cs, sizeof cs, "%02X", sum);
    return f + cs + "\x04";
}

long long clock_now_us(void) {
    struct timeval tv;
    now_tv(&tv);
    return (long long)tv.tv_sec * 1000000 + tv.tv_usec;
}

int mem_begin(int) { return 0; }
int mem_send(const char *buf, int n, char *purged) {
    purged[0] = 0;
    const std::string f(buf, (size_t)n);
    if (f != frame_of("0900") && f != frame_of("0904")) bad_sends++;
    return LINK_SENT;
}
int mem_recv(char *c, long wait_us, int) {
    if (in_pos < in_len) {
        *c = (char)in[in_pos++];
        quiet_since_us = clock_now_us();
        return 1;
    }
    if (gone_at_end) return -1;
    pause_us((unsigned)wait_us); // the silence lasts the whole wait
    return 0;
}
void mem_failed(int) {}
void mem_end(int, int) {}
void mem_close(void) {}
int mem_usable(void) { return 1; }
const LinkBackend memory_link = {0,        0,          nullptr, mem_begin, mem_send,
                                 mem_recv, mem_failed, mem_end, mem_close, mem_usable};

const char *const keys[] = {"K1", "K2", "K3", "AB123CD"};

void check_tables(int vehicles) {
    for (int b = 0; b < NBDATA; b++)
        FUZZ_CHECK(memchr(data[b], 0, SIZEDATA), "a result buffer stays terminated");
    for (int s = 0; s < NBPLAQUEMAX; s++) {
        if (!termine[s]) continue;
        FUZZ_CHECK(s == 0 || s < vehicles,
                   "only a slot that holds a vehicle, or the single instrument's, is complete");
        FUZZ_CHECK(voiture[s].idx < NBDATA, "a complete slot has its result buffer");
        for (const char *p = data[voiture[s].idx]; *p; p++)
            FUZZ_CHECK(*p != STX && *p != ETX && *p != EOT, "no frame byte in a result");
    }
    for (int s = 0; s < NBPLAQUEMAX; s++)
        if (voiture[s].idx != ALL)
            FUZZ_CHECK(voiture[s].idx < NBDATA, "a slot's buffer is one of the buffers");
    FUZZ_CHECK(bad_sends == 0, "the box sends only acknowledgements while it receives");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::start();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
    if (size == 0) return 0;
    boxtest::reset_state();
    fuzz::restart_clock();
    snprintf(save_protocol, sizeof save_protocol, "GIEGLAN");
    snprintf(save_client, sizeof save_client, "KELDRAN");
    link_gone = link_renewed = 0;
    memset(enveloppe, 0, sizeof enveloppe);
    link_backend = &memory_link;

    const bool single = !(bytes[0] & 1);
    const int vehicles = (bytes[0] >> 1) & 3;
    gone_at_end = bytes[0] & 8;
    giegtype = single ? 1 : 2;
    COMOINPROG[0] = 1;
    for (int s = 0; s < vehicles; s++) {
        snprintf(voiture[s].cle, sizeof voiture[s].cle, "%-10s", keys[s]);
        snprintf(voiture[s].plaque, sizeof voiture[s].plaque, "P%s", keys[s]);
    }
    in = bytes + 1;
    in_len = size - 1;
    in_pos = 0;
    bad_sends = 0;
    quiet_since_us = clock_now_us();

    // the scan's reply phase: each frame that opens a result is handed to the reception
    for (int rounds = 0; rounds < 64 && in_pos < in_len; rounds++) {
        const int code = EQUIP_get();
        if (code != 111 && code != 122) continue;
        savdata(code == 122 ? 2 : 1);
        const double quiet = (clock_now_us() - quiet_since_us) / 1e6;
        FUZZ_CHECK(quiet < 8.0, "a reception ends within its silence wait once the link is quiet");
        check_tables(vehicles);
    }
    link_backend = nullptr;
    return 0;
}
