// Frame sizes and control bytes of the equipment line protocol.
#pragma once

#define STX 0x02 // opens a frame
#define ETX 0x03 // closes the records of a frame
#define EOT 0x04 // closes a frame, after the checksum
#define ETB 0x17 // opens each further record of a frame

#define MAXBYTE 80       // largest frame, STX through EOT
#define SIZE_EXPED 90    // frame under construction (exped_send)
#define SIZE_ENVELOPPE 85 // frame received (enveloppe)
#define SIZE_TETE 40     // header of the current message (tete)
#define SIZE_SOCKBUF 255 // TCP input and purge buffers

#define PC 0    // destination: the station PC side
#define EQUIP 1 // destination: the equipment
