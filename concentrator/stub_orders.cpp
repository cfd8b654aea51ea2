// PC-order handling and plate list not built yet: no orders are read.
#include "nod.h"

void PCaction(int code) { (void)code; }
char addcle(const char *) { return 0; }
void processplaqueliste(void) {}
void transmetplaqueliste(int) {}
void sendplaque(int) {}
