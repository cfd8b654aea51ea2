// Order, measure and identification records and their tables.
#pragma once

#include <stdint.h>

#include "gie.h"

#define NBCODEGIEGDATAMAX 60 // measures of one result, identification items of one row
#define NBPERIPH 5           // identification rows (peripherals numbered 1 to 5)
#define NBKIND 6             // kind letters the writers classify (G, O, P, E, D, V)
#define TAILLEFICHIER 3000   // image of an OTCLAN file

// One vehicle order read from the PC.
struct SaveInfo {
    char cle[12];                                        // order key
    char plaqueinfo[12];                                 // registration plate
    char carburantinfo[4];                               // fuel code
    char autreinfo[NBCODEFICHIERID][SIZELIGNEFICHIERID]; // data lines
    uint8_t already_present;
    uint8_t first_get;
    char fichier[255];    // base name of the order file
    char nomfichier[255]; // name of the order file as read from the directory
};

// One measure: a four-digit code (or an OTCLAN name) and its value as text.
struct SaveMeasures {
    char CodeGiegData[6];
    char DataMeasures[54];
};

// One identification item of an instrument.
struct SaveInfoHardwareConnect {
    char CodeGiegData[5];
    char InfoHardwareConnect[54];
};

// The two tag texts that tell an order reader where the plate and the fuel code stand.
struct New_vehicule {
    char plaque[20];
    char carburant[20];
};

extern SaveInfo SI[NBPLAQUEMAX]; // orders found by the last reading of the order directory
extern int Cpt_plaque;           // number of orders in SI

extern SaveMeasures SM[NBCODEGIEGDATAMAX];         // measures cut from a result buffer
extern int Cpt_SM;                                 // records in SM
extern int CSM;                                    // shared index of every walk over SM
extern SaveMeasures SM_OTCLAN[NBCODEGIEGDATAMAX];  // measures under their OTCLAN names
extern int CSM_OTCLAN;                             // rows of SM_OTCLAN
extern SaveMeasures SM1[NBKIND][NBCODEGIEGDATAMAX]; // per-kind measure lists of the writers
extern int CODE_200;                               // index in SM of the plate record

extern SaveInfoHardwareConnect SIHC[NBPERIPH][NBCODEGIEGDATAMAX]; // identification items
extern int Cpt_SIHC[NBPERIPH + 1];                                // items per row

extern New_vehicule Info; // plate and fuel tags handed to the order readers
extern char *ptinfo[2];   // ptinfo[0] = Info.plaque, ptinfo[1] = Info.carburant

extern char imageFichier[TAILLEFICHIER]; // text of an OTCLAN file, for its seals
