// Equipment scan: one step of the dialogue with the attached equipment per call.
//
// A step has two phases. The request phase runs when no reply is awaited and the
// pacing timer has run out; it sends one request, chosen in this order: the clock
// ("0130" once the box has set its own clock from the PC), a pending withdrawal
// ("0150"), then the poll that the kind of equipment calls for ("0100" until the
// peripheral list is known, "0110" for a single instrument, "0121" for a hub). The
// reply phase reads at most one frame and acts on its code through one table.
//
// The peripheral list ("0101") tells a hub (entry 0 of letter 'C') from a single
// instrument, keeps the CHECK_NO_OPA marker in step with the presence of an
// opacimeter, has each peripheral identified and records it in the information file.
// Four reply time-outs in a row end the dialogue; the start-up loop then resets it. A
// dialogue that starts, or a TCP connection made again after the equipment dropped it,
// starts a full pass of the plate list.
//
// A withdrawal settles the very slot it was sent for, by its index.
//
// Until the box has read the PC's orders since it started (orders_known), no result is
// asked for ("0110", "0121") nor taken: one offered all the same is neither acknowledged
// nor kept, so it stays with the equipment, which offers it again once the box knows the
// vehicles.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "fcfotclan.h"
#include "file_param.h"
#include "heartbeat.h"
#include "synchro.h"
#include "nod.h"
#include "plat.h"
#include "share.h"
#include "tim.h"

#define PATH_CONNECT1 BOX_PATH("//home/KELDRAN/DATA/connect1")
#define PATH_PERIPH_INFO BOX_PATH("/home/KELDRAN/DATA/log/periph1info.txt")
#define MAX_LIST 6 // rows of type_hardware_connect2

static int begins(const char *s, const char *prefix) {
    return strncmp(s, prefix, strlen(prefix)) == 0;
}


// Slot `slot` is withdrawn: no longer to be withdrawn nor sent, and emptied. It is the
// slot the withdrawal was decided for, emptied by its index: a search by its key could
// find another vehicle.
static void settle(int slot) {
    NEWCLE[slot] = 0;
    CURCLE = (char)slot;
    empty_slot(slot);
    newplaque[slot] = 0;
}

// ---- Request phase -------------------------------------------------------------------

static void send_clock(void) {
    if (first_Sync == 1) {
        giegtype = 0;
        COMOINPROG[0] = 0;
    }
    // the time after the synchronisation, so the equipment gets the clock just set
    struct tm *t = now_local();
    char hour[32];
    snprintf(hour, sizeof hour, "%02d%02d%02d%02d%02d%02d", t->tm_mday, t->tm_mon + 1,
             t->tm_year + 1900, t->tm_hour, t->tm_min, t->tm_sec);
    pause_us(2000);
    singlecode(EQUIP, "0130", hour, 0);
    tim_program_ms(&ASKEQUIPONESEC, 5000);
    tim_program_ms(&ASKPLAQUE, 1000);
}

// Withdrawal confirmed by the acknowledgement of "0150" (makers other than SPX).
static void withdraw_acknowledged(void) {
    const int slot = cou;
    if (link_usable()) {
        singlecode(EQUIP, "0150", voiture[slot].cle, 0);
        printf("\nSEND150-%i-%s\n", slot, voiture[slot].cle);
        if (thelastcode >= 900 && thelastcode <= 909) {
            settle(slot);
            effacement = 0;
        } else {
            link_close();
            COMOINPROG[0] = 0;
            effacement = 0;
        }
    } else {
        fprintf(stderr, "\nATTENTE DE CONNEXION periph 1 %s\n", strerror(errno));
        if (write_one_time != 1) {
            if (unlink(PATH_CONNECT1) != 0) {
                fprintf(stderr, "\nerreur d'effacement %s\n", strerror(errno));
            } else {
                write_one_time = 1;
                printf("DECONNEXION-150-!!!!!!!!!!!!!!!");
                COM_STAT = 0;
                link_close();
                COMOINPROG[0] = 0;
                effacement = 0;
            }
        }
    }
    // without a dialogue the equipment cannot be told: the slot is freed here
    if (COMOINPROG[0] == 0) settle(slot);
}

// Withdrawal confirmed by a reply frame (SPX makers).
static void withdraw_by_reply(void) {
    const int slot = cou;
    if (!link_usable()) return;
    singlecode(EQUIP, "0150", voiture[slot].cle, 0);
    printf("\nSEND150-%i-%s\n", slot, voiture[slot].cle);
    COM_STAT = 1;
    effacement = 1;
    if (thelastcode >= 900 && thelastcode <= 909) {
        settle(slot);
        effacement = 0;
    }
}

static void poll(void) {
    // results wait with the equipment until the box knows the vehicles
    if (giegtype != 0 && !orders_known) return;
    COM_STAT = 1;
    switch (giegtype) {
    case 0:
        singlecode(EQUIP, "0100", "", 1);
        break;
    case 1:
        singlecode(EQUIP, "0110", "", 1);
        break;
    case 2:
        if (!demandeParCle) {
            singlecode(EQUIP, "0121", "??????????", 1);
            break;
        }
        while (cou2 < NBPLAQUEMAX && (voiture[(int)cou2].cle[0] == 0 || voiture[(int)cou2].idx != ALL))
            cou2++;
        if (cou2 >= NBPLAQUEMAX) {
            singlecode(EQUIP, "0121", "??????????", 1);
            cou2 = 0;
        } else {
            singlecode(EQUIP, "0121", voiture[(int)cou2].cle, 1);
            cou2++;
        }
        break;
    default:
        break;
    }
}

static void request_phase(void) {
    while (cou < NBPLAQUEMAX && !NEWCLE[(int)cou])
        cou++;
    if (cou >= NBPLAQUEMAX) cou = 0;

    const int spx = begins(save_client, "SPX");
    if (sync_hour_ok == 0) {
        // nothing is asked of the equipment before the clock is set; the clock is taken
        // from the share without holding the loop: the scan comes back for it
        const int r = sync_hour_step();
        if (r < 0) {
            tim_program_ms(&ASKEQUIPONESEC, SHARE_POLL_MS);
            return;
        }
        sync_hour_ok = r;
        if (sync_hour_ok == 1) send_clock();
    } else if (NEWCLE[(int)cou] && !spx) {
        withdraw_acknowledged();
    } else if (NEWCLE[(int)cou] && COMOINPROG[0] == 1 && spx) {
        withdraw_by_reply();
    } else {
        poll();
    }
    tim_program_ms(&ASKEQUIPONESEC, 5000);
}

// ---- Peripheral list -------------------------------------------------------------------

// Value of the three digits of an entry's number; a number above 255 does not fit the
// table's byte and is kept as 0, which is never identified.
static char entry_number(const char *p) {
    int v = 0;
    for (int k = 0; k < 3 && p[k] >= '0' && p[k] <= '9'; k++)
        v = v * 10 + (p[k] - '0');
    return v > 255 ? 0 : (char)v;
}

static int is_control(char c) { return c == STX || c == ETX || c == EOT || c == ETB || c == 0; }

int read_periph_list(const char *frame) {
    int opa = 0;
    nb_periph_present = 0;
    memset(type_hardware_connect2, 0, sizeof type_hardware_connect2);
    for (int i = 0; i + 4 <= MAXBYTE && frame[i] && frame[i] != ETX && frame[i] != EOT; i++) {
        if (strncmp(frame + i, "0905", 4) == 0) break;
        if (i != 6 + 5 * nb_periph_present) continue;
        if (is_control(frame[i]) || is_control(frame[i + 1]) || is_control(frame[i + 2]) ||
            is_control(frame[i + 3]))
            break;
        if (nb_periph_present >= MAX_LIST) {
            printf("\nliste de peripheriques coupee a %d\n", MAX_LIST);
            break;
        }
        const int n = nb_periph_present;
        type_hardware_connect2[n][0] = entry_number(frame + i);
        type_hardware_connect2[n][1] = frame[i + 3];
        printf("Type Equi: %c \n", frame[i + 3]);
        if (frame[i + 3] == 'O') {
            printf(">> Détection OPA ");
            opa = 1;
        }
        nb_periph_present++;
    }
    return opa;
}

static void update_opa_marker(int opa) {
    if (TestOpaPourCI == 0 && opa) {
        printf("Suppr CECK_NO_OPA");
        heartbeat_cmd("rm " BOX_PATH("/home/KELDRAN/DATA/CHECK_NO_OPA"));
        TestOpaPourCI = 1;
    }
    if (TestOpaPourCI == 1 && !opa) {
        printf("Ecriture CHECK_NO_OPA");
        heartbeat_cmd("touch " BOX_PATH("/home/KELDRAN/DATA/CHECK_NO_OPA"));
        TestOpaPourCI = 0;
    }
}

// Identifies the peripheral at list position n: up to four attempts.
static void identify(int n) {
    if (sihc_row_of_position(n) < 0) {
        printf("\nperipherique %d hors table, non identifie\n",
               (unsigned char)type_hardware_connect2[n][0]);
        return;
    }
    for (int attempt = 0; attempt < 4; attempt++)
        if (askforequipinfo(type_hardware_connect2[n][0], type_hardware_connect2[n][1],
                            attempt == 0 ? 1 : 0) != 1)
            break;
}

// Appends the identification of list position n to the information file, without the
// items 7012 and 7353.
static void record_periph(int n) {
    int row = sihc_row_of_position(n);
    if (row < 0 || Cpt_SIHC[row] == 0) return;
    FILE *f = fopen(PATH_PERIPH_INFO, "a");
    if (!f) {
        fprintf(stderr, "Fichier inexistant.\n");
        return;
    }
    fprintf(f, "\nPeriph%d:\n", n);
    for (int k = 0; k < Cpt_SIHC[row] && k < NBCODEGIEGDATAMAX; k++) {
        const SaveInfoHardwareConnect &it = SIHC[row][k];
        if (strcmp(it.CodeGiegData, "7012") == 0 || strcmp(it.CodeGiegData, "7353") == 0)
            continue;
        fprintf(f, "\t%s\n", it.InfoHardwareConnect);
    }
    fclose(f);
}

static void on_list(void) {
    char frame[SIZE_ENVELOPPE];
    memcpy(frame, enveloppe, sizeof frame);
    frame[sizeof frame - 1] = 0;
    update_opa_marker(read_periph_list(frame));

    if (type_hardware_connect2[0][1] != 'C') {
        giegtype = 1;
        return;
    }
    giegtype = 2;
    singlecode(EQUIP, "0900", "", 1);
    if (ask_only_good_periph == 1) {
        Get_Measure_Type();
        for (int k = 0; k < nb_measure && k < NBKIND; k++)
            for (int n = 1; n < nb_periph_present; n++)
                if (type_hardware_connect2[n][1] == type_measure[k]) identify(n);
        ask_only_good_periph = 0;
        return;
    }
    for (int n = 1; n < nb_periph_present; n++) {
        identify(n);
        record_periph(n);
    }
}

// ---- Reply phase -----------------------------------------------------------------------

static void on_0099(void) { singlecode(EQUIP, "0902", "", 1); }
// 1 when a result may be taken, else it is left with the equipment.
static int results_taken(void) {
    if (orders_known) return 1;
    printf("\nresultat laisse a l'equipement: ordres pas encore lus\n");
    return 0;
}
static void on_0111(void) {
    if (results_taken()) savdata(1);
}
static void on_0122(void) {
    if (!results_taken()) return;
    sync_hour_ok = 0; // the equipment's clock is set again at the next request
    savdata(2);
}
static void ack(void) { singlecode(EQUIP, "0900", "", 1); }
static void on_0174(void) {
    char txt[20];
    snprintf(txt, sizeof txt, "001%12.12s", DESTBT);
    singlecode(EQUIP, "0174", txt, 1);
}
static void withdrawal_confirmed(void) {
    if (effacement == 1) {
        settle(cou);
        effacement = 0;
    } else if (cou2 != 0) {
        settle(cou2 - 1);
    }
}
static void error_report(void) {
    printf("RECUP904 --> 1 :");
    COM_STAT = 0;
    ERREUR++;
    printf("RECUP904 --> 3 erreur %i:\n", ERREUR);
}

struct ReplyAction {
    int code;
    void (*act)(void);
};
static const ReplyAction replyActions[] = {
    {99, on_0099},   {101, on_list},  {111, on_0111}, {122, on_0122},
    {173, ack},      {174, on_0174},  {188, ack},     {900, withdrawal_confirmed},
    {907, withdrawal_confirmed},      {908, withdrawal_confirmed},
    {909, withdrawal_confirmed},      {902, error_report},
    {904, error_report},
};

static void reply_timeout(void) {
    printf("TIMEOUT ERREUR:%i!!!!!!!!!!!!!!!\n", ERREUR);
    if (begins(save_type_com, "BLUETOOTH") && write_one_time != 1) {
        if (unlink(PATH_CONNECT1) != 0) {
            fprintf(stderr, "\nerreur d'effacement connect1 %s\n", strerror(errno));
        } else {
            write_one_time = 1;
            printf("DECONNEXION SCANEQUIP!!!!!!!!!!!!!!!");
            COM_STAT = 0;
            COMOINPROG[0] = 0;
            effacement = 0;
        }
    }
    COM_STAT = 0;
    ERREUR++;
    if (ERREUR > 3) {
        link_close();
        COMOINPROG[0] = 0;
        tim_program_ms(&ASKEQUIPONESEC, 5000);
        effacement = 0;
    }
}

static int reply_phase(void) {
    int code = EQUIP_get();
    if (code == 0) {
        if (tim_verif_program_ms(ASKEQUIPONESEC)) reply_timeout();
        return 0;
    }
    ERREUR = 0;
    COM_STAT = 0;
    tim_program_ms(&ASKEQUIPONESEC, demandeParCle ? 2000 : 5000);
    // A dialogue that starts, or equipment back on a TCP connection made again after it
    // dropped the last one (it may have restarted and lost its vehicles): every vehicle
    // in flight is sent again by a full pass of the plate list.
    if (COMOINPROG[0] == 0 || link_renewed) {
        COMOINPROG[0] = 1;
        start_full_pass();
        link_renewed = 0;
    }
    for (const ReplyAction &a : replyActions) {
        if (a.code == code) {
            a.act();
            break;
        }
    }
    return code;
}

int scanequip(void) {
    if (COM_STAT == 0 && tim_verif_program_ms(ASKEQUIPONESEC)) request_phase();
    if (COM_STAT == 1) return reply_phase();
    return 0;
}
