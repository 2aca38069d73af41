// Registration of file tickets.

#include <fcc/internal/FccErrors.hxx>
#include <fcc/internal/FccSelfProxy.hxx>
#include <fcc/runtime/internal/FccRuntime.hxx>
#include <fcc/selfproxy/internal/SelfProxyState.hxx>
#include <fcc/selfproxy/internal/TicketRegistry.hxx>

namespace Quillomark::Fcc::SelfProxy {

int FCC_RegisterTicket(const char* ticket, char** handle) {
    const Entry entry;
    if (const int status = entry.status()) return status;
    if (!ticket) return FmsErrorCode(ERR_FMSCP_BAD_TICKET);
    if (!handle) return FmsErrorCode(ERR_FMSCP_BAD_ARG);
    return FmsErrorCode(registerTicket(ticket, handle));
}

int FCC_RegisterTickets(int count, const char** tickets, char** handles, int* statuses) {
    const Entry entry;
    if (const int status = entry.status()) return status;
    if (count <= 0) return FmsErrorCode(ERR_FMSCP_BAD_ARG);
    if (!tickets) return FmsErrorCode(ERR_FMSCP_BAD_TICKET);
    if (!handles || !statuses) return FmsErrorCode(ERR_FMSCP_BAD_ARG);
    for (int i = 0; i < count; ++i) {
        handles[i] = nullptr;
        statuses[i] = ERR_FMSCP_NOT_EXECUTED;
    }
    int failed = 0;
    for (int i = 0; i < count; ++i) {
        statuses[i] = FmsErrorCode(registerTicket(tickets[i], &handles[i]));
        if (statuses[i] != FCC_OK) {
            handles[i] = nullptr;
            ++failed;
            FccSaveLastError();
        }
    }
    FccRestoreLastError();
    return failed;
}

int FCC_UnRegisterTicket(const char* handle) {
    const Entry entry;
    if (const int status = entry.status()) return status;
    if (!handle) return FmsErrorCode(ERR_FMSCP_BAD_TICKET);
    return FmsErrorCode(unregisterTicket(handle));
}

int FCC_UnRegisterTickets(int count, char** handles, int* statuses) {
    const Entry entry;
    if (const int status = entry.status()) return status;
    if (count < 1) return FmsErrorCode(ERR_FMSCP_BAD_ARG);
    if (!handles) return FmsErrorCode(ERR_FMSCP_BAD_TICKET);
    if (!statuses) return FmsErrorCode(ERR_FMSCP_BAD_ARG);
    for (int i = 0; i < count; ++i) statuses[i] = ERR_FMSCP_NOT_EXECUTED;
    for (int i = 0; i < count; ++i) {
        statuses[i] = handles[i] ? unregisterTicket(handles[i]) : ERR_FMSCP_BAD_TICKET;
        if (statuses[i] < 0) return FmsErrorCode(statuses[i]);
    }
    return FCC_OK;
}

}  // namespace Quillomark::Fcc::SelfProxy
