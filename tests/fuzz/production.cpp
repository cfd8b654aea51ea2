// Fuzz target: the provisioning program's passes over the production file, as many as
// it serves requests (one request a pass), with the board identity file beside it.
//
// Input: parts cut at lines "====": 0 the production file; 1 the board identity file
// (absent when the input has a single part).
//
// Commands are not run: the hook checks each one. A date command must be exactly
// date -u "YYYY-MM-DD h:mm[:ss]" (digits only, nothing else can reach the shell) with a
// day of the calendar, and
// a reboot may only come once the production file says "#032#" 2, so that the box never
// reboots at every start.
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "file_param.h"
#include "fuzzsupport.h"
#include "prod.h"

static bool date_command(const char *cmd) {
    // date -u "YYYY-MM-DD h:mm" with optional :ss and a second hour digit
    const std::string c = cmd;
    const std::string head = "date -u \"";
    if (c.compare(0, head.size(), head) != 0 || c.back() != '"') return false;
    const std::string arg = c.substr(head.size(), c.size() - head.size() - 1);
    static const char *const shapes[] = {"dddd-dd-dd d:dd", "dddd-dd-dd dd:dd",
                                         "dddd-dd-dd d:dd:dd", "dddd-dd-dd dd:dd:dd"};
    for (const char *shape : shapes) {
        if (arg.size() != strlen(shape)) continue;
        bool ok = true;
        for (size_t i = 0; i < arg.size() && ok; i++)
            ok = shape[i] == 'd' ? (arg[i] >= '0' && arg[i] <= '9') : arg[i] == shape[i];
        if (!ok) continue;
        // and a day of the calendar: the date survives the round trip through timegm
        struct tm t = {};
        t.tm_year = std::stoi(arg.substr(0, 4)) - 1900;
        t.tm_mon = std::stoi(arg.substr(5, 2)) - 1;
        t.tm_mday = std::stoi(arg.substr(8, 2));
        t.tm_hour = 12;
        const int year = t.tm_year, mon = t.tm_mon, day = t.tm_mday;
        timegm(&t);
        return t.tm_year == year && t.tm_mon == mon && t.tm_mday == day;
    }
    return false;
}

static int check_command(const char *cmd) {
    if (strncmp(cmd, "date", 4) == 0)
        FUZZ_CHECK(date_command(cmd), std::string("a date command of its shape: ") + cmd);
    if (strcmp(cmd, "reboot") == 0) {
        std::string state = read_code_param_file("#032#", PATH_PRODUCTION);
        FUZZ_CHECK(state.find_first_not_of(' ') != std::string::npos &&
                       state.substr(state.find_first_not_of(' '), 1) == "2",
                   "a reboot only once its acknowledgement is stored");
    }
    return 0;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::start(check_command);
    fuzz::mkdirs(fuzz::root("/home/KELDRAN/DATA"));
    fuzz::mkdirs(fuzz::root("/etc"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    size_t found = 0;
    const auto p = fuzz::parts(data, size, 2, &found);
    const bool board = found == 2;
    fuzz::put(PATH_PRODUCTION, p[0]);
    if (board)
        fuzz::put(PATH_BOARD_ID, p[1]);
    else
        unlink(PATH_BOARD_ID);
    unlink(PATH_PROD_MARKER);

    // Each pass serves one request and acknowledges it; a fourth pass finds none left.
    for (int pass = 0; pass < 4; pass++) {
        int r = prod_pass();
        if (r == PASS_NONE) break;
        FUZZ_CHECK(r == PASS_DATE || r == PASS_SERIAL || r == PASS_REBOOT, "a pass's result");
        FUZZ_CHECK(pass < 3, "every request is served once");
        if (r == PASS_SERIAL && board) {
            std::string id = fuzz::get(PATH_BOARD_ID);
            std::string want = "export SERIAL_NUMBER=\"" + std::to_string(get_serial_number) + "\"";
            FUZZ_CHECK(get_serial_number > SERIAL_MIN && get_serial_number <= SERIAL_MAX,
                       "a serial number within its range");
            FUZZ_CHECK(id.find(want) != std::string::npos, "the serial number is written");
        }
    }
    return 0;
}
