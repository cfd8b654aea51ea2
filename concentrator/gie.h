// Sizes of the vehicle tables and the equipment-side vehicle record.
#pragma once

#include <stdint.h>

#define NBPLAQUEMAX 20        // vehicle slots and orders
#define ALL 99                // idx of a slot without a result buffer
#define NBCODEFICHIERID 30    // data lines of one order
#define SIZELIGNEFICHIERID 60 // characters of one data line
#define NBDATA 20             // raw result buffers
#define SIZEDATA 400          // characters of one raw result buffer

// One vehicle on the equipment side.
struct vehicule {
    char cle[12];                                        // order key, at most 10 characters
    char plaque[12];                                     // registration plate
    char cartype[4];                                     // first 3 characters of the fuel code
    char autreinfo[NBCODEFICHIERID][SIZELIGNEFICHIERID]; // order lines "cccc=value\r\n"
    uint8_t idx;                                         // result buffer in data, or ALL
    uint8_t serial;                                      // completion number of a hub result
    int32_t order;                                       // entry sequence number
};

extern vehicule voiture[NBPLAQUEMAX];  // vehicle table; a slot is empty when its cle is empty
extern char data[NBDATA][SIZEDATA];    // raw result buffers; free when the first byte is NUL
extern char termine[NBPLAQUEMAX];      // 1: the slot's results are complete
extern char newplaque[NBPLAQUEMAX];    // 1: the slot's plate has still to be sent
extern char NEWCLE[NBPLAQUEMAX];       // 1: the slot is to be withdrawn from the equipment
extern char cle_supr[NBPLAQUEMAX][12]; // keys of withdrawn slots (emptied by initram)
