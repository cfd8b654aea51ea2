// Measure code dictionary and measure separation.
//
// The dictionary is one list, FSM_DICTIONARY, of every result code the separation
// knows: its name (the code, with _SPX or _KDR where two entries share a code), code
// text, field size, maker variant, kind, OTCLAN name and OTCLAN normalisation. The
// list produces the constants cmg_<name> (code text) and TAILLE_<name> (field size),
// the buffers cmd_<name> (last value separated for the code) and the rows of the one
// table fsm_dictionary, walked by fsm_lookup.
#pragma once

#include <stddef.h>

// Maker variant of an entry: any maker, makers not beginning "SPX", or "SPX" makers.
enum FsmVariant : unsigned char { FSM_ANY, FSM_NONSPX, FSM_SPX };
// What separation does with a code.
enum FsmKind : unsigned char {
    FSM_MEASURE, // has an OTCLAN name, goes to SM_OTCLAN
    FSM_PLATE,   // registration plate: CODE_200, identification tables under OTCLAN
    FSM_STAMP,   // 14-character end-of-test stamp: identification tables under OTCLAN
    FSM_COPY     // cut and kept only
};
// OTCLAN normalisation of a measure value.
enum FsmNorm : unsigned char {
    FSM_NONE,
    FSM_ZEROS,        // leading zeros removed
    FSM_BLANKS_ZEROS, // trailing blanks, then leading zeros removed
    FSM_LETTER        // "C" when the value begins with 0, "D" otherwise (code 0500)
};

// clang-format off
// X(name, code text, field size, variant, kind, OTCLAN name, normalisation)
#define FSM_DICTIONARY(X) \
    X(0200,     "0200", 11, FSM_NONSPX, FSM_PLATE,   "",      FSM_NONE) \
    X(7200,     "7200", 11, FSM_SPX,    FSM_PLATE,   "",      FSM_NONE) \
    X(0204,     "0204", 15, FSM_ANY,    FSM_COPY,    "",      FSM_NONE) \
    X(0494,     "0494", 14, FSM_ANY,    FSM_STAMP,   "",      FSM_NONE) \
    X(0513,     "0513", 14, FSM_ANY,    FSM_STAMP,   "",      FSM_NONE) \
    X(0543,     "0543", 14, FSM_ANY,    FSM_STAMP,   "",      FSM_NONE) \
    X(0630,     "0630", 14, FSM_ANY,    FSM_STAMP,   "",      FSM_NONE) \
    X(0703,     "0703", 14, FSM_ANY,    FSM_STAMP,   "",      FSM_NONE) \
    X(7009,     "7009", 14, FSM_NONSPX, FSM_STAMP,   "",      FSM_NONE) \
    X(7010,     "7010", 14, FSM_NONSPX, FSM_STAMP,   "",      FSM_NONE) \
    X(7486,     "7486", 14, FSM_SPX,    FSM_STAMP,   "",      FSM_NONE) \
    X(7523,     "7523", 14, FSM_SPX,    FSM_STAMP,   "",      FSM_NONE) \
    X(7544,     "7544", 14, FSM_SPX,    FSM_STAMP,   "",      FSM_NONE) \
    X(7634,     "7634", 14, FSM_SPX,    FSM_STAMP,   "",      FSM_NONE) \
    X(7750,     "7750", 14, FSM_SPX,    FSM_STAMP,   "",      FSM_NONE) \
    X(0500,     "0500",  1, FSM_NONSPX, FSM_MEASURE, "PEM01", FSM_LETTER) \
    X(7524,     "7524",  1, FSM_SPX,    FSM_MEASURE, "PEM01", FSM_NONE) \
    X(0501,     "0501",  3, FSM_ANY,    FSM_MEASURE, "PEM02", FSM_ZEROS) \
    X(0502,     "0502",  4, FSM_ANY,    FSM_MEASURE, "PEM03", FSM_ZEROS) \
    X(0503,     "0503",  5, FSM_NONSPX, FSM_MEASURE, "PEM04", FSM_ZEROS) \
    X(7503,     "7503",  6, FSM_SPX,    FSM_MEASURE, "PEM04", FSM_ZEROS) \
    X(0504,     "0504",  5, FSM_ANY,    FSM_MEASURE, "PEM05", FSM_ZEROS) \
    X(0508,     "0508",  4, FSM_ANY,    FSM_MEASURE, "PEM06", FSM_ZEROS) \
    X(0509,     "0509",  5, FSM_NONSPX, FSM_MEASURE, "PEM07", FSM_ZEROS) \
    X(7509,     "7509",  6, FSM_SPX,    FSM_MEASURE, "PEM07", FSM_ZEROS) \
    X(0510,     "0510",  5, FSM_NONSPX, FSM_MEASURE, "PEM08", FSM_ZEROS) \
    X(7510,     "7510",  6, FSM_SPX,    FSM_MEASURE, "PEM08", FSM_ZEROS) \
    X(0511,     "0511",  5, FSM_ANY,    FSM_MEASURE, "PEM09", FSM_ZEROS) \
    X(0514,     "0514",  5, FSM_NONSPX, FSM_MEASURE, "PEM10", FSM_BLANKS_ZEROS) \
    X(7514,     "7514",  6, FSM_SPX,    FSM_MEASURE, "PEM10", FSM_BLANKS_ZEROS) \
    X(0520,     "0520",  5, FSM_NONSPX, FSM_MEASURE, "PEM11", FSM_ZEROS) \
    X(7516,     "7516",  5, FSM_SPX,    FSM_MEASURE, "PEM11", FSM_ZEROS) \
    X(0526,     "0526",  5, FSM_NONSPX, FSM_MEASURE, "PEM12", FSM_ZEROS) \
    X(7517,     "7517",  5, FSM_SPX,    FSM_MEASURE, "PEM12", FSM_ZEROS) \
    X(0529,     "0529",  6, FSM_NONSPX, FSM_MEASURE, "PEM13", FSM_BLANKS_ZEROS) \
    X(7518,     "7518",  6, FSM_SPX,    FSM_MEASURE, "PEM13", FSM_BLANKS_ZEROS) \
    X(0528,     "0528",  5, FSM_NONSPX, FSM_MEASURE, "PEM14", FSM_ZEROS) \
    X(7519,     "7519",  5, FSM_SPX,    FSM_MEASURE, "PEM14", FSM_ZEROS) \
    X(0524,     "0524",  5, FSM_NONSPX, FSM_MEASURE, "PEM15", FSM_BLANKS_ZEROS) \
    X(7525,     "7525",  5, FSM_SPX,    FSM_MEASURE, "PEM15", FSM_BLANKS_ZEROS) \
    X(0530,     "0530",  1, FSM_ANY,    FSM_MEASURE, "POM01", FSM_NONE) \
    X(0531,     "0531",  3, FSM_ANY,    FSM_MEASURE, "POM02", FSM_ZEROS) \
    X(0532,     "0532",  4, FSM_ANY,    FSM_MEASURE, "POM03", FSM_ZEROS) \
    X(0533,     "0533",  5, FSM_ANY,    FSM_MEASURE, "POM04", FSM_NONE) \
    X(0534,     "0534",  5, FSM_ANY,    FSM_MEASURE, "POM05", FSM_NONE) \
    X(0535,     "0535",  5, FSM_ANY,    FSM_MEASURE, "POM06", FSM_NONE) \
    X(0536,     "0536",  5, FSM_ANY,    FSM_MEASURE, "POM07", FSM_NONE) \
    X(0537,     "0537",  5, FSM_ANY,    FSM_MEASURE, "POM08", FSM_NONE) \
    X(0538,     "0538",  5, FSM_ANY,    FSM_MEASURE, "POM09", FSM_NONE) \
    X(0539,     "0539",  4, FSM_ANY,    FSM_MEASURE, "POM10", FSM_NONE) \
    X(0540,     "0540",  1, FSM_ANY,    FSM_MEASURE, "POM11", FSM_NONE) \
    X(0541,     "0541",  1, FSM_ANY,    FSM_MEASURE, "POM12", FSM_NONE) \
    X(0542,     "0542",  1, FSM_ANY,    FSM_MEASURE, "POM13", FSM_NONE) \
    X(7530,     "7530",  3, FSM_NONSPX, FSM_MEASURE, "POM21", FSM_ZEROS) \
    X(7531,     "7531",  1, FSM_NONSPX, FSM_MEASURE, "POM22", FSM_NONE) \
    X(7532,     "7532",  3, FSM_NONSPX, FSM_MEASURE, "POM23", FSM_ZEROS) \
    X(7533,     "7533",  4, FSM_NONSPX, FSM_MEASURE, "POM24", FSM_ZEROS) \
    X(7534,     "7534",  1, FSM_NONSPX, FSM_MEASURE, "POM25", FSM_NONE) \
    X(7535,     "7535",  5, FSM_NONSPX, FSM_MEASURE, "POM26", FSM_NONE) \
    X(7536,     "7536",  4, FSM_NONSPX, FSM_MEASURE, "POM27", FSM_ZEROS) \
    X(7537,     "7537",  3, FSM_NONSPX, FSM_MEASURE, "POM28", FSM_ZEROS) \
    X(7538,     "7538",  1, FSM_NONSPX, FSM_MEASURE, "POM29", FSM_NONE) \
    X(7539,     "7539",  5, FSM_NONSPX, FSM_MEASURE, "POM30", FSM_NONE) \
    X(7540,     "7540",  4, FSM_NONSPX, FSM_MEASURE, "POM31", FSM_ZEROS) \
    X(7541,     "7541",  3, FSM_NONSPX, FSM_MEASURE, "POM32", FSM_ZEROS) \
    X(7542,     "7542",  1, FSM_NONSPX, FSM_MEASURE, "POM33", FSM_NONE) \
    X(7543,     "7543",  5, FSM_NONSPX, FSM_MEASURE, "POM34", FSM_NONE) \
    X(7544_KDR, "7544",  4, FSM_NONSPX, FSM_MEASURE, "POM35", FSM_ZEROS) \
    X(7545,     "7545",  3, FSM_NONSPX, FSM_MEASURE, "POM36", FSM_ZEROS) \
    X(7546,     "7546",  5, FSM_NONSPX, FSM_MEASURE, "POM37", FSM_NONE) \
    X(7547,     "7547",  5, FSM_NONSPX, FSM_MEASURE, "POM38", FSM_NONE) \
    X(7548,     "7548",  5, FSM_NONSPX, FSM_MEASURE, "POM39", FSM_NONE) \
    X(7549,     "7549",  1, FSM_NONSPX, FSM_MEASURE, "POM40", FSM_NONE) \
    X(7550,     "7550",  4, FSM_NONSPX, FSM_MEASURE, "POM41", FSM_NONE) \
    X(7551,     "7551",  1, FSM_NONSPX, FSM_MEASURE, "POM42", FSM_NONE) \
    X(7552,     "7552",  1, FSM_NONSPX, FSM_MEASURE, "POM43", FSM_NONE) \
    X(7545_SPX, "7545",  3, FSM_SPX,    FSM_MEASURE, "POM21", FSM_ZEROS) \
    X(7546_SPX, "7546",  1, FSM_SPX,    FSM_MEASURE, "POM22", FSM_NONE) \
    X(7547_SPX, "7547",  3, FSM_SPX,    FSM_MEASURE, "POM23", FSM_ZEROS) \
    X(7548_SPX, "7548",  4, FSM_SPX,    FSM_MEASURE, "POM24", FSM_ZEROS) \
    X(7549_SPX, "7549",  1, FSM_SPX,    FSM_MEASURE, "POM25", FSM_NONE) \
    X(7550_SPX, "7550",  5, FSM_SPX,    FSM_MEASURE, "POM26", FSM_NONE) \
    X(7551_SPX, "7551",  4, FSM_SPX,    FSM_MEASURE, "POM27", FSM_ZEROS) \
    X(7552_SPX, "7552",  3, FSM_SPX,    FSM_MEASURE, "POM28", FSM_ZEROS) \
    X(7553,     "7553",  1, FSM_SPX,    FSM_MEASURE, "POM29", FSM_NONE) \
    X(7554,     "7554",  5, FSM_SPX,    FSM_MEASURE, "POM30", FSM_NONE) \
    X(7555,     "7555",  4, FSM_SPX,    FSM_MEASURE, "POM31", FSM_ZEROS) \
    X(7556,     "7556",  3, FSM_SPX,    FSM_MEASURE, "POM32", FSM_ZEROS) \
    X(7557,     "7557",  1, FSM_SPX,    FSM_MEASURE, "POM33", FSM_NONE) \
    X(7558,     "7558",  5, FSM_SPX,    FSM_MEASURE, "POM34", FSM_NONE) \
    X(7559,     "7559",  4, FSM_SPX,    FSM_MEASURE, "POM35", FSM_ZEROS) \
    X(7560,     "7560",  3, FSM_SPX,    FSM_MEASURE, "POM36", FSM_ZEROS) \
    X(7561,     "7561",  5, FSM_SPX,    FSM_MEASURE, "POM37", FSM_NONE) \
    X(7562,     "7562",  4, FSM_SPX,    FSM_MEASURE, "POM38", FSM_NONE) \
    X(7563,     "7563",  5, FSM_SPX,    FSM_MEASURE, "POM39", FSM_NONE) \
    X(7564,     "7564",  1, FSM_SPX,    FSM_MEASURE, "POM40", FSM_NONE) \
    X(7565,     "7565",  4, FSM_SPX,    FSM_MEASURE, "POM41", FSM_NONE) \
    X(7566,     "7566",  1, FSM_SPX,    FSM_MEASURE, "POM42", FSM_NONE) \
    X(7567,     "7567",  1, FSM_SPX,    FSM_MEASURE, "POM43", FSM_NONE) \
    X(0485,     "0485",  1, FSM_ANY,    FSM_MEASURE, "RFM07", FSM_NONE) \
    X(0490,     "0490",  1, FSM_ANY,    FSM_MEASURE, "RFM02", FSM_NONE) \
    X(0491,     "0491",  4, FSM_ANY,    FSM_MEASURE, "RFM03", FSM_NONE) \
    X(0492,     "0492",  1, FSM_ANY,    FSM_MEASURE, "RFM04", FSM_NONE) \
    X(0493,     "0493",  4, FSM_ANY,    FSM_MEASURE, "RFM05", FSM_NONE) \
    X(0495,     "0495",  1, FSM_ANY,    FSM_MEASURE, "RFM01", FSM_NONE) \
    X(0496,     "0496",  4, FSM_ANY,    FSM_MEASURE, "RFM08", FSM_NONE) \
    X(0497,     "0497",  4, FSM_ANY,    FSM_MEASURE, "RFM10", FSM_NONE) \
    X(0498,     "0498",  1, FSM_ANY,    FSM_MEASURE, "RFM06", FSM_NONE) \
    X(0499,     "0499",  1, FSM_ANY,    FSM_MEASURE, "RFM09", FSM_NONE) \
    X(0601,     "0601",  1, FSM_ANY,    FSM_MEASURE, "PLM01", FSM_NONE) \
    X(0602,     "0602",  3, FSM_ANY,    FSM_MEASURE, "PLM02", FSM_ZEROS) \
    X(0603,     "0603",  3, FSM_ANY,    FSM_MEASURE, "PLM03", FSM_NONE) \
    X(0604,     "0604", 53, FSM_ANY,    FSM_MEASURE, "PLM04", FSM_NONE) \
    X(0605,     "0605", 53, FSM_ANY,    FSM_MEASURE, "PLM05", FSM_NONE) \
    X(0606,     "0606", 53, FSM_ANY,    FSM_MEASURE, "PLM06", FSM_NONE) \
    X(0607,     "0607", 53, FSM_ANY,    FSM_MEASURE, "PLM07", FSM_NONE) \
    X(0608,     "0608", 53, FSM_ANY,    FSM_MEASURE, "PLM08", FSM_NONE) \
    X(0609,     "0609", 53, FSM_ANY,    FSM_MEASURE, "PLM09", FSM_NONE) \
    X(0610,     "0610", 53, FSM_ANY,    FSM_MEASURE, "PLM10", FSM_NONE) \
    X(0611,     "0611", 53, FSM_ANY,    FSM_MEASURE, "PLM11", FSM_NONE) \
    X(0612,     "0612", 17, FSM_ANY,    FSM_MEASURE, "PLM12", FSM_NONE) \
    X(0614,     "0614", 19, FSM_ANY,    FSM_MEASURE, "PLM14", FSM_NONE) \
    X(0615,     "0615", 19, FSM_ANY,    FSM_MEASURE, "PLM15", FSM_NONE) \
    X(0616,     "0616", 19, FSM_ANY,    FSM_MEASURE, "PLM16", FSM_NONE) \
    X(0617,     "0617", 19, FSM_ANY,    FSM_MEASURE, "PLM17", FSM_NONE) \
    X(0618,     "0618", 19, FSM_ANY,    FSM_MEASURE, "PLM18", FSM_NONE) \
    X(0619,     "0619", 19, FSM_ANY,    FSM_MEASURE, "PLM19", FSM_NONE) \
    X(0620,     "0620", 19, FSM_ANY,    FSM_MEASURE, "PLM20", FSM_NONE) \
    X(0621,     "0621", 19, FSM_ANY,    FSM_MEASURE, "PLM21", FSM_NONE) \
    X(0622,     "0622", 19, FSM_ANY,    FSM_MEASURE, "PLM22", FSM_NONE) \
    X(0623,     "0623", 19, FSM_ANY,    FSM_MEASURE, "PLM23", FSM_NONE) \
    X(0624,     "0624", 19, FSM_ANY,    FSM_MEASURE, "PLM24", FSM_NONE) \
    X(0625,     "0625",  1, FSM_ANY,    FSM_MEASURE, "PLM25", FSM_NONE) \
    X(0626,     "0626",  1, FSM_ANY,    FSM_MEASURE, "PLM26", FSM_NONE) \
    X(0627,     "0627",  1, FSM_ANY,    FSM_MEASURE, "PLM27", FSM_NONE) \
    X(0628,     "0628",  5, FSM_ANY,    FSM_MEASURE, "PLM28", FSM_ZEROS) \
    X(0629,     "0629",  1, FSM_ANY,    FSM_MEASURE, "PLM31", FSM_NONE) \
    X(0631,     "0631",  1, FSM_ANY,    FSM_MEASURE, "PLM32", FSM_NONE) \
    X(0632,     "0632",  5, FSM_NONSPX, FSM_MEASURE, "PLM29", FSM_ZEROS) \
    X(7635,     "7635",  6, FSM_SPX,    FSM_MEASURE, "PLM29", FSM_ZEROS) \
    X(0633,     "0633",  8, FSM_ANY,    FSM_MEASURE, "PLM30", FSM_ZEROS) \
    X(0700,     "0700",  5, FSM_ANY,    FSM_MEASURE, "DM001", FSM_ZEROS) \
    X(0701,     "0701",  5, FSM_ANY,    FSM_MEASURE, "DM002", FSM_ZEROS) \
    X(7600,     "7600",  2, FSM_NONSPX, FSM_MEASURE, "VM001", FSM_NONE) \
    X(7601,     "7601",  2, FSM_NONSPX, FSM_MEASURE, "VM002", FSM_NONE) \
    X(7602,     "7602",  1, FSM_NONSPX, FSM_MEASURE, "VM003", FSM_NONE) \
    X(7603,     "7603",  2, FSM_NONSPX, FSM_MEASURE, "VC001", FSM_NONE) \
    X(7604,     "7604",  1, FSM_NONSPX, FSM_MEASURE, "VC002", FSM_NONE)
// clang-format on

#define FSM_CONSTANTS(name, code, size, var, kind, otc, norm)                                      \
    constexpr char cmg_##name[5] = code;                                                           \
    constexpr int TAILLE_##name = size;
FSM_DICTIONARY(FSM_CONSTANTS)
#undef FSM_CONSTANTS

#define FSM_BUFFER(name, code, size, var, kind, otc, norm) extern char cmd_##name[size + 1];
FSM_DICTIONARY(FSM_BUFFER) // last value separated for each code, zero at start-up
#undef FSM_BUFFER

// One entry of the dictionary.
struct FsmEntry {
    const char *name; // "0200", "7544_KDR", "7545_SPX" ...
    const char *code; // the four digits
    int size;         // field size: characters of a value kept
    FsmVariant variant;
    FsmKind kind;
    const char *otclan; // OTCLAN name of a measure, "" otherwise
    FsmNorm norm;
    char *buffer; // the entry's cmd_ buffer (size + 1 characters)
};

#define FSM_COUNT_ONE(...) +1
constexpr int FSM_NB_ENTRIES = 0 FSM_DICTIONARY(FSM_COUNT_ONE);
#undef FSM_COUNT_ONE
static_assert(FSM_NB_ENTRIES == 148, "the measure dictionary holds 148 entries");

extern const FsmEntry fsm_dictionary[FSM_NB_ENTRIES]; // the dictionary, in list order

// 1 when the configured maker save_client is of the SPX variant (begins with "SPX").
int fsm_is_spx(void);
// The entry for a received code under the given variant (spx 1: SPX maker), or nullptr.
// The code must match as a whole string; at most one entry holds for a variant.
const FsmEntry *fsm_lookup(const char *code, int spx);

// Removes trailing blanks (code 32 only) in place.
void supprime_espace_fin(char *source);
// 1 when both texts are equal and not empty, the blanks that pad a field at its end
// aside (an order's plate is padded to its field; the equipment may send it back bare).
int same_field(const char *a, const char *b);
// Turns every CR and LF into a blank, in place: a value received from the equipment
// then keeps its length and can neither end nor add a line of a result file.
void espace_fins_ligne(char *source);
// Removes leading zeros in place, keeping one zero before a point and one for all-zero text.
void supprime_zero_debut(char *source);
// Appends the OTCLAN name chaine and the value of SM[CSM] to SM_OTCLAN.
void cpy_OTCLAN_DATA(const char *chaine);
// Cuts the values of SM by the dictionary; under OTCLAN also normalises them, builds
// SM_OTCLAN and merges plate and stamp items into SIHC.
void fct_separate_measures(void);
