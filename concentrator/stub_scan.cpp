// Equipment scan not built yet: no dialogue with the equipment.
#include "nod.h"

int scanequip(void) { return 0; }
