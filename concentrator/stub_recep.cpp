// Result reception not built yet.
#include "nod.h"

void savdata(int) {}
