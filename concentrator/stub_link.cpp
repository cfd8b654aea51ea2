// Equipment link not built yet: nothing is sent or received.
#include "nod.h"

char exped_send[SIZE_EXPED];
int lenght;
char enveloppe[SIZE_ENVELOPPE];
int socketON;
char wait_connection;
char write_one_time;
char path_create_log[40 + ROOTLEN];
int j;
char tete[SIZE_TETE];
char currentport;
int thelastcode;

void fsend(char dest) { (void)dest; }
int EQUIP_get(void) { return 0; }
void starttrame(char, const char *, const char *) {}
void addtrame(const char *, const char *) {}
int endtrame(void) { return 0; }
int singlecode(char, const char *, const char *, char) { return 0; }
int addcsum(int) { return 0; }
int waitfor900(void) { return 0; }
void sendbuffer(char *, char) {}
void senddatamulti(char, const char *, char) {}
int effacecar(const char *, char) { return 0; }
