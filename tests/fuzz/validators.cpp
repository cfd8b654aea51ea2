// Fuzz target: the validators of the OTCLAN fields and the text routines that clean the
// values taken from orders, identifications and measures before they are written.
//
// Input: a text (up to its first NUL); the first byte also gives the number of decimals
// asked of check_Number. Each routine works on a copy in a block of the text's own
// length, so a read or a write past the terminator is seen.
#include <stdlib.h>
#include <string.h>

#include "boxtest.h"
#include "fcfgl.h"
#include "fcfotclan.h"
#include "fsm.h"
#include "fuzzsupport.h"

// A copy of the text in a block of its own length.
struct Copy {
    char *p;
    explicit Copy(const std::string &s) : p(static_cast<char *>(malloc(s.size() + 1))) {
        memcpy(p, s.c_str(), s.size() + 1);
    }
    ~Copy() { free(p); }
};

static bool all_in(const std::string &s, unsigned char lo, unsigned char hi) {
    for (unsigned char c : s)
        if (c < lo || c > hi) return false;
    return true;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::start();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), strnlen((const char *)data, size));
    const int decimals = size > 0 ? data[0] % 4 : 0;
    Copy t(text);

    const int ascii = check_ascii(t.p), ascii2 = check_AsciiV2(t.p);
    const int lettre = check_lettre(t.p), lettre2 = check_lettreV2(t.p);
    const int number = check_Number(t.p, decimals), date = check_date(t.p);
    FUZZ_CHECK(strcmp(t.p, text.c_str()) == 0, "a validator leaves its text as it is");
    for (int r : {ascii, ascii2, lettre, lettre2, number, date})
        FUZZ_CHECK(r == 0 || r == 1, "a validator answers 0 or 1");
    // The rules nest: A-Z lies within A-Z 0-9, which lies within the printable range.
    if (lettre == 0) FUZZ_CHECK(lettre2 == 0 && ascii == 0, "letters are OTCLAN text");
    if (lettre2 == 0) FUZZ_CHECK(ascii2 == 0, "letters and digits are printable");
    if (ascii == 0) FUZZ_CHECK(ascii2 == 0, "OTCLAN text is printable");
    FUZZ_CHECK(ascii2 == (all_in(text, 0x20, 0x7E) ? 0 : 1), "printable is 0x20 to 0x7E");
    if (date == 0) {
        FUZZ_CHECK(text.size() == 8 || text.size() == 14, "a date has 8 or 14 digits");
        FUZZ_CHECK(all_in(text, '0', '9') && check_Number(t.p, 0) == 0, "a date is digits");
    }
    if (number == 0 && decimals > 0) FUZZ_CHECK(check_Number(t.p, 0) == 1, "decimals are asked");

    {
        Copy c(text);
        int r = parseurIdOTC(c.p);
        FUZZ_CHECK(r == 0 || r == 1, "parseurIdOTC answers 0 or 1");
        if (r == 0) FUZZ_CHECK(c.p[0] != 0 && check_ascii(c.p) == 0, "an accepted value is text");
    }
    for (int type : {0, 1}) {
        Copy c(text);
        int r = parseurMesureOTC(c.p, type);
        if (r == 0) FUZZ_CHECK(check_ascii(c.p) == 0, "an accepted measure is OTCLAN text");
    }
    {
        Copy c(text);
        supprime_espace_fin(c.p);
        size_t n = strlen(c.p);
        FUZZ_CHECK(n == 0 || c.p[n - 1] != ' ', "no blank stays at the end");
        FUZZ_CHECK(text.compare(0, n, c.p) == 0, "only the end is removed");
    }
    {
        Copy c(text);
        supprime_espace_debut(c.p);
        FUZZ_CHECK(text.size() >= strlen(c.p), "removing never lengthens");
        FUZZ_CHECK(text.compare(text.size() - strlen(c.p), std::string::npos, c.p) == 0,
                   "only the start is removed");
    }
    {
        Copy c(text);
        supprime_zero_debut(c.p);
        FUZZ_CHECK(text.size() >= strlen(c.p), "removing zeros never lengthens");
        FUZZ_CHECK(text.empty() || c.p[0] != 0, "a text never becomes empty");
    }
    {
        char *clean = static_cast<char *>(malloc(text.size() + 1));
        fct_copie_sans_espace(clean, t.p);
        for (const char *p = clean; *p; p++)
            FUZZ_CHECK(!strchr(" \\/:*?\"<>|", *p), "no blank nor forbidden character stays");
        free(clean);
    }
    fct_calculate_crc_gieglan(t.p);
    FUZZ_CHECK(codetoi(t.p) >= 0 && codetoi(t.p) <= 99999, "a code is five digits at most");
    FUZZ_CHECK(same_field(t.p, t.p) == (text.find_first_not_of(' ') != std::string::npos ? 1 : 0),
               "a field equals itself unless blank");
    return 0;
}
