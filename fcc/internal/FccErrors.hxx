#pragma once

namespace Quillomark::Fcc {

// Status codes of the file-cache interface. 0 is success; a positive
// result of a batch call counts the items that failed.
enum FccStatus : int {
    FCC_OK = 0,
    ERR_FMSCP_UNKNOWN_FILE_SIZE = -1,
    ERR_FMSCP_START_FAILED = -2996,
    ERR_FMSCP_START_SCRIPT = -2997,
    ERR_FMSCP_NO_FMS_HOME = -2998,
    ERR_FMSCP_NOT_INITIALIZED = -2999,
    ERR_FMSCP_NO_CONFIGURATION = -3000,
    ERR_FMSCP_NO_CACHE = -3001,
    ERR_FMSCP_BAD_ARG = -3002,
    ERR_FMSCP_BAD_FILE = -3003,
    ERR_FMSCP_TOO_MANY = -3004,
    ERR_FMSCP_BAD_TICKET = -3005,
    ERR_FMSCP_TICKET_EXPIRED = -3006,
    ERR_FMSCP_EOF = -3007,
    ERR_FMSCP_THREAD_COUNT = -3008,
    ERR_FMSCP_OUT_OF_MEMORY = -3009,
    ERR_FMSCP_NOT_EXECUTED = -3010,
    ERR_FMSCP_SEQUENCE = -3011,
    ERR_FMSCP_MSG_TYPE = -3012,
    ERR_FMSCP_MSG_DATA = -3013,
    ERR_FMSCP_UNKNOWN = -3014,
    ERR_FMSCP_FILE_BUSY = -3015,
    ERR_FMSCP_CANCELLED = -3016,
    ERR_FMSCP_VERSION = -3017,
    ERR_FMSCP_NOT_SUPPORTED = -3099
};

// The text recorded as a thread's last error for a status: null for 0,
// "ERR_FMSCP_UNKNOWN" for a code the interface does not know.
const char* FccErrorCodeName(int code);

}  // namespace Quillomark::Fcc
