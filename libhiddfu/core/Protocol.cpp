#include "Protocol.h"

namespace hiddfu {

const char* stateName(unsigned state) {
    static const char* const names[] = {
        "appIDLE",     "appDETACH",        "dfuIDLE",     "dfuDNLOAD-SYNC",
        "dfuDNBUSY",   "dfuDNLOAD-IDLE",   "dfuMANIFEST-SYNC", "dfuMANIFEST",
        "dfuMANIFEST-WAIT-RESET", "dfuUPLOAD-IDLE", "dfuERROR"};
    return state < sizeof names / sizeof names[0] ? names[state] : "unknown state";
}

const char* statusName(unsigned status) {
    static const char* const names[] = {
        "OK",      "errTARGET", "errFILE",     "errWRITE",  "errERASE",    "errCHECK_ERASED",
        "errPROG", "errVERIFY", "errADDRESS",  "errNOTDONE", "errFIRMWARE", "errVENDOR",
        "errUSBR", "errPOR",    "errUNKNOWN",  "errSTALLEDPKT"};
    return status < sizeof names / sizeof names[0] ? names[status] : "unknown status";
}

} // namespace hiddfu
