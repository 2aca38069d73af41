#include <fcc/internal/FccErrors.hxx>

namespace Quillomark::Fcc {

const char* FccErrorCodeName(int code) {
    switch (code) {
        case FCC_OK: return nullptr;
        case ERR_FMSCP_UNKNOWN_FILE_SIZE: return "ERR_FMSCP_UNKNOWN_FILE_SIZE";
        case ERR_FMSCP_START_FAILED: return "The FCC process failed to start or restart.";
        case ERR_FMSCP_START_SCRIPT:
            return "The FCC start script is missing or inaccessible.  FMS_HOME may be incorrect.";
        case ERR_FMSCP_NO_FMS_HOME: return "The FMS_HOME environment variable must be set.";
        case ERR_FMSCP_NOT_INITIALIZED: return "The FCC client proxy has not been initialized.";
        case ERR_FMSCP_NO_CONFIGURATION:
            return "The proxy could not locate required configuration information.";
        case ERR_FMSCP_NO_CACHE:
            return "The proxy could not locate or start an FMS Client Cache instance.";
        case ERR_FMSCP_BAD_ARG: return "ERR_FMSCP_BAD_ARG";
        case ERR_FMSCP_BAD_FILE: return "ERR_FMSCP_BAD_FILE";
        case ERR_FMSCP_TOO_MANY: return "ERR_FMSCP_TOO_MANY";
        case ERR_FMSCP_BAD_TICKET: return "ERR_FMSCP_BAD_TICKET";
        case ERR_FMSCP_TICKET_EXPIRED: return "ERR_FMSCP_TICKET_EXPIRED (deprecated)";
        case ERR_FMSCP_EOF: return "ERR_FMSCP_EOF";
        case ERR_FMSCP_THREAD_COUNT: return "ERR_FMSCP_THREAD_COUNT";
        case ERR_FMSCP_OUT_OF_MEMORY: return "ERR_FMSCP_OUT_OF_MEMORY";
        case ERR_FMSCP_NOT_EXECUTED: return "ERR_FMSCP_NOT_EXECUTED";
        case ERR_FMSCP_SEQUENCE: return "ERR_FMSCP_SEQUENCE";
        case ERR_FMSCP_MSG_TYPE: return "ERR_FMSCP_MSG_TYPE";
        case ERR_FMSCP_MSG_DATA: return "ERR_FMSCP_MSG_DATA";
        case ERR_FMSCP_FILE_BUSY: return "ERR_FMSCP_FILE_BUSY";
        case ERR_FMSCP_CANCELLED: return "ERR_FMSCP_CANCELLED";
        case ERR_FMSCP_VERSION: return "ERR_FMSCP_VERSION";
        case ERR_FMSCP_NOT_SUPPORTED: return "ERR_FMSCP_NOT_SUPPORTED";
        default: return "ERR_FMSCP_UNKNOWN";
    }
}

}  // namespace Quillomark::Fcc
