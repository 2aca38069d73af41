#include <fcc/internal/FccEntryTable.hxx>
#include <fcc/internal/FccErrors.hxx>
#include <fcc/internal/FccSelfProxy.hxx>
#include <fcc/runtime/internal/FccRuntime.hxx>

#include <platform/os/internal/Environment.hxx>
#include <platform/os/internal/SharedLibrary.hxx>
#include <platform/os/internal/TrustedFile.hxx>

#include <array>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <new>
#include <type_traits>
#include <utility>

namespace Quillomark::Fcc {

const char* const FCC_INTERFACE_VERSION = "1.2";
const char* const FCC_INTERFACE_DATE = "20070517";

namespace {

namespace Os = Quillomark::Platform::Os;

constexpr const char* PROXY_LIBRARY_NAME = "FCCClientProxyDllv80.dll";

const char* const ENTRY_NAMES[FCC_ENTRY_COUNT] = {
#define QMSOA_FCC_NAME(name) #name,
    QMSOA_FCC_ENTRIES(QMSOA_FCC_NAME)
#undef QMSOA_FCC_NAME
};

// The table may be read by any thread at any time, also while the loader
// fills it, so each slot is an atomic pointer. The library is touched by the
// loader only, which runs once.
struct LoaderState {
    std::array<std::atomic<FccEntry>, FCC_ENTRY_COUNT> slots{};
    // Never destroyed: the proxy library stays loaded for the life of the
    // process, and calls made while the process ends still find it.
    Os::SharedLibrary* library = nullptr;
    std::once_flag once;
};

// Constant-initialised, with nothing to destroy: every entry finds the
// table without allocating, also one that an application's static
// constructor calls before the library's own run, and one made when no
// memory is left (an empty slot gives the entry's fixed result).
LoaderState loaderState;
static_assert(std::is_trivially_destructible_v<LoaderState>);

LoaderState& state() { return loaderState; }

// An own entry as its callers, C functions among them, see it: memory that
// runs out in it ends it with -3009 (recorded as the thread's last error
// while the interface is initialised), or, for an entry without a status,
// with the result of one that did nothing; no exception leaves it. What the
// entry made on the way has gone with its unwinding. A thread's
// cancellation, which unwinds too, goes on.
template <auto own>
struct Guarded;

template <typename R, typename... A, R (*own)(A...)>
struct Guarded<own> {
    static R call(A... arguments) {
        try {
            return own(arguments...);
        } catch (const std::bad_alloc&) {
            if constexpr (std::is_same_v<R, int>) {
                return fccSessionInForce() != 0 ? SelfProxy::FmsErrorCode(ERR_FMSCP_OUT_OF_MEMORY)
                                                : ERR_FMSCP_OUT_OF_MEMORY;
            } else if constexpr (!std::is_void_v<R>) {
                return R{};
            }
        }
    }
};

// The own function for a slot, checked at compile time to have the type of
// the dispatcher of the same name.
template <typename F>
FccEntry ownEntry(F /* dispatcher */, F own) {
    return reinterpret_cast<FccEntry>(own);
}

void publish(const std::array<FccEntry, FCC_ENTRY_COUNT>& entries) {
    LoaderState& loader = state();
    for (int slot = 0; slot < FCC_ENTRY_COUNT; ++slot) {
        loader.slots[slot].store(entries[slot], std::memory_order_release);
    }
}

int loadOnce() {
    std::string path;
    try {
        const std::string home = Os::environmentValue("FMS_HOME");
        std::printf("FCC interface version %s(%s).\n", FCC_INTERFACE_VERSION, FCC_INTERFACE_DATE);
        std::fflush(stdout);
        if (home.empty()) {
            std::fprintf(stderr, "ERROR: Could not find FMS_HOME.\n");
            return ERR_FMSCP_NO_FMS_HOME;
        }
        path = fccProxyLibraryPath(home);
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "ERROR: Could not allocate library name.\n");
        throw;
    }

    // A library runs its own code as it is loaded: one that another local
    // user could have written is not loaded at all. Checked right before the
    // load, so that only its owner or root could change it in between.
    LoaderState& loader = state();
    std::string problem;
    if (Os::isTrustedFile(Os::absolutePath(path), &problem)) {
        Os::SharedLibrary opened = Os::SharedLibrary::open(path);
        if (opened.isLoaded()) loader.library = new Os::SharedLibrary(std::move(opened));
    } else if (!problem.empty()) {
        std::fprintf(stderr, "Library '%s' is not used: %s.\n", path.c_str(), problem.c_str());
    }
    if (loader.library == nullptr) {
        std::fprintf(stderr, "Could not load library '%s'\n", path.c_str());
        return FccUseSelfProxy();
    }

    // Resolved aside and published only when complete, so that no thread
    // ever calls into a library that is about to be unloaded again.
    std::array<FccEntry, FCC_ENTRY_COUNT> resolved{};
    bool complete = true;
    for (int slot = 0; slot < FCC_ENTRY_COUNT; ++slot) {
        resolved[slot] = FccGetEntryPoint(ENTRY_NAMES[slot]);
        complete = complete && resolved[slot];
    }
    if (complete) {
        publish(resolved);
        return FCC_OK;
    }
    std::fprintf(stderr, "Library '%s' corrupted.\n", path.c_str());
    FccUnloadProxyLibrary();
    return FccUseSelfProxy();
}

}  // namespace

const char* fccEntryName(FccSlot slot) {
    return slot >= 0 && slot < FCC_ENTRY_COUNT ? ENTRY_NAMES[slot] : nullptr;
}

FccEntry fccEntry(FccSlot slot) {
    if (slot < 0 || slot >= FCC_ENTRY_COUNT) return nullptr;
    return state().slots[slot].load(std::memory_order_acquire);
}

std::string fccProxyLibraryPath(const std::string& fmsHome) {
    std::string path = fmsHome;
    if (path.empty() || path.back() != '/') path += '/';
    path += "lib/";
    path += PROXY_LIBRARY_NAME;
    return path;
}

int FccLoadProxyLibrary() {
    // Two threads making their first call at once must not both load: the
    // second waits for the first and then finds the loader has run.
    int result = FCC_OK;
    try {
        std::call_once(state().once, [&result] { result = loadOnce(); });
    } catch (const std::bad_alloc&) {
        // An allocation that failed on the way left the table empty, and
        // the loader to run again at the next call, when memory may be
        // back: not an empty table for good. Never an exception: the
        // entries are C functions.
        return ERR_FMSCP_OUT_OF_MEMORY;
    }
    return result;
}

int FccUseSelfProxy() {
    // What the own implementation uses for the life of the process is made
    // now, so that none of its entries allocates it on a first use, where
    // the allocation could fail half-way through.
    fccMakeSelfProxyObjects();
    std::fprintf(stderr,
                 "***** WARNING: The FCC Client Proxy shared library is not installed. *****\n");
    std::fprintf(stderr, "*****   Reverting to self-proxying mode. *****\n");
    std::fprintf(stderr,
                 "***** (Installing an FMS client update will silence this warning.) *****\n\n");
    const std::array<FccEntry, FCC_ENTRY_COUNT> own = {
#define QMSOA_FCC_OWN(name) ownEntry(&::name, &Guarded<&SelfProxy::name>::call),
        QMSOA_FCC_ENTRIES(QMSOA_FCC_OWN)
#undef QMSOA_FCC_OWN
    };
    publish(own);
    return FCC_OK;
}

void FccUnloadProxyLibrary() {
    publish({});
    delete std::exchange(state().library, nullptr);
}

FccEntry FccGetEntryPoint(const char* name) {
    const Os::SharedLibrary* library = state().library;
    void* address = library ? library->symbol(name) : nullptr;
    if (!address) {
        std::fprintf(stderr, "Could not find entry point '%s'\n.", name ? name : "");
        return nullptr;
    }
    return reinterpret_cast<FccEntry>(address);
}

}  // namespace Quillomark::Fcc
