#pragma once

// The registry of file tickets. Registering a ticket gives a handle (the
// ticket's first 64 characters, in a string that the registry owns); a
// ticket registered again gets the same handle and one more reference.

#include <cstddef>

namespace Quillomark::Fcc {

struct TicketRecord;

// A registered ticket, held by one reference while the holder uses it.
class TicketReference {
public:
    TicketReference() = default;
    explicit TicketReference(TicketRecord* record) : record(record) {}
    ~TicketReference() { reset(); }
    TicketReference(TicketReference&& other) noexcept : record(other.record) {
        other.record = nullptr;
    }
    TicketReference& operator=(TicketReference&&) = delete;
    TicketReference(const TicketReference&) = delete;
    TicketReference& operator=(const TicketReference&) = delete;

    explicit operator bool() const { return record != nullptr; }
    const char* ticket() const;
    const char* guid() const;
    const char* handle() const;
    // Drops the reference (the record goes when it was the last).
    void reset();

private:
    TicketRecord* record = nullptr;
};

// Whether a ticket has the form of one: its kind at 64, three digits after
// it, and 225 to 2000 characters.
bool isValidTicket(const char* ticket);

// Registers a ticket: 0 and *handle set, -3005 for an invalid ticket, -3009
// when memory runs out, -2999 when the caller's session has ended.
int registerTicket(const char* ticket, char** handle);

// The registered ticket of a handle, with a reference taken; empty when
// the handle names none. A handle is the registry's own string, known by
// its address: nothing is read through a pointer that is none (a released
// handle, a copy).
TicketReference findTicket(const char* handle);

// Drops the registration of a handle: 0, or -3005 when it names none.
int unregisterTicket(const char* handle);

// Frees every record, at termination.
void releaseAllTickets();

// Makes the memory of the handles and their map, once per process, for
// fccMakeSelfProxyObjects. Throws std::bad_alloc.
void makeTicketRegistry();

// Records registered now, for tests.
std::size_t registeredTicketCount();

}  // namespace Quillomark::Fcc
