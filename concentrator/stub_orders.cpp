// PC-order handling and plate list not built yet: no orders are read.
#include "nod.h"

void PCaction(int code) { (void)code; }
void processplaqueliste(void) {}
