// Equipment link and dialogue: frames, transport, emission, scan, identification,
// result reception, PC orders and plate list.
#pragma once

#include "cfg.h"
#include "dat.h"

// One step of the equipment scan; the code of the frame read in this step, or 0.
int scanequip(void);
// Handling of the PC's orders, once per pass, with the code of the scan step.
void PCaction(int code);
// One step of the plate list sent to a hub.
void processplaqueliste(void);
