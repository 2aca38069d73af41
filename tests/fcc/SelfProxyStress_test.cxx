// Many threads of random calls of the library's own file-cache interface
// against the fake server, while one thread ends sessions under them and
// begins new ones (with one allocation pair or another) and another
// restarts the server, makes it fall silent and scripts faults into its
// replies. Every byte read is checked against the file it belongs to, every
// handle once released is tried again and must name nothing, and when all
// is over every count is back to zero: registrations, open files, the
// server's connections, the blocks of each allocation pair, the fast
// cache's clients, zombies.
//
// FCC_STRESS_SECONDS (default 3) and FCC_STRESS_THREADS (default 12) set
// the run, a campaign runs it for minutes; FCC_STRESS_SEED repeats the
// random choices of a run (the threads' timing differs all the same).

#include <fcc/fastcache/internal/FmscInterface.hxx>
#include <fcc/internal/FccErrors.hxx>
#include <fcc/pipe/internal/FccProtocol.hxx>
#include <fcc/selfproxy/internal/FccFileRecord.hxx>
#include <fcc/selfproxy/internal/TicketRegistry.hxx>
#include <tests/fastcache/ChildProcess.hxx>
#include <tests/fcc/ChildProcesses.hxx>
#include <tests/fcc/SelfProxyFixture.hxx>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace Fcc = Quillomark::Fcc;
using namespace Quillomark::Testing;

int setting(const char* name, int fallback) {
    const char* value = std::getenv(name);
    const int read = value ? std::atoi(value) : 0;
    return read > 0 ? read : fallback;
}

// ---- The files ----------------------------------------------------------------

constexpr int FILES_PER_WORKER = 6;
constexpr std::int64_t FILE_SIZES[FILES_PER_WORKER] = {0, 100, 5000, 16384, 40000, 100000};

// The byte at an offset of a file: every file differs from every other, so
// a byte read from the wrong file shows.
char byteOf(int file, std::int64_t offset) {
    return static_cast<char>((file * 131 + offset * 7 + offset / 251) & 0xFF);
}

struct StressFile {
    int number;
    std::string ticket;
    std::string guid;
    std::string content;
    bool unknownSize;
    bool cached;  // also in the fast cache
};

StressFile makeFile(int worker, int index) {
    StressFile file;
    file.number = worker * FILES_PER_WORKER + index;
    file.guid = "stress-" + std::to_string(file.number) + "-";
    file.guid.resize(32, 'g');
    file.ticket = "stress-ticket-" + std::to_string(file.number) + "-";
    file.ticket.resize(300, 's');
    file.ticket.replace(64, 4, "v123");
    file.ticket.replace(70, 32, file.guid);
    file.content.resize(static_cast<std::size_t>(FILE_SIZES[index]));
    for (std::size_t i = 0; i < file.content.size(); ++i) file.content[i] = byteOf(file.number, i);
    file.unknownSize = index % 2 == 1;
    file.cached = index == 4;
    return file;
}

// ---- What the run saw ---------------------------------------------------------

struct Figures {
    std::atomic<long> calls{0};
    std::atomic<long> succeeded{0};
    std::atomic<long> bytesChecked{0};
    std::atomic<long> wrongBytes{0};
    std::atomic<long> staleProbes{0};
    std::atomic<long> staleHandlesThatWorked{0};
    std::atomic<long> sessionsEnded{0};
    std::atomic<long> restarts{0};
    std::atomic<long> silences{0};
    std::atomic<long> faults{0};
    std::atomic<long> terminationsInCallbacks{0};
};

// A call of the interface, counted.
int counted(Figures& figures, int status) {
    ++figures.calls;
    if (status == 0) ++figures.succeeded;
    return status;
}

// An initialisation with one of the pairs, or with none (malloc and free).
// Each pair is whole: what its allocation function made, its own release
// function takes back, so a block that another pair releases is the
// library's fault.
int initWithPair(int which) {
    static const FccAllocFunction allocs[] = {Tagged::allocA, Tagged::allocB, nullptr};
    static const FccReleaseFunction releases[] = {Tagged::releaseA, Tagged::releaseB, nullptr};
    return Own::FCC_Init(allocs[which], releases[which]);
}
constexpr int PAIR_CHOICES = 3;

// ---- A worker: one application thread --------------------------------------

class Worker {
public:
    Worker(int index, const std::vector<StressFile>& files, Figures& figures, unsigned seed)
        : index(index), files(files), figures(figures), random(seed) {}

    void run(const std::atomic<bool>& stop) {
        while (!stop) step();
        // What the worker holds goes back before it ends.
        for (auto& held : handles) {
            while (held.second.count-- > 0)
                counted(figures, Own::FCC_UnRegisterTicket(held.second.handle));
        }
        for (FccFile* file : openFiles) counted(figures, Own::FCC_CloseFileHandlePointer(file));
        if (ownReference) counted(figures, Own::FCC_Term());
    }

private:
    struct Registration {
        char* handle = nullptr;
        int count = 0;
    };

    int pick(int bound) { return std::uniform_int_distribution<int>(0, bound - 1)(random); }
    const StressFile& file(int which) const { return files[index * FILES_PER_WORKER + which]; }

    void step() {
        switch (pick(14)) {
            case 0:
            case 1: registerOne(); break;
            case 2: unregisterOne(); break;
            case 3:
            case 4: openAndRead(); break;
            case 5: readOpenFile(); break;
            case 6: closeOpenFile(); break;
            case 7: download(); break;
            case 8: upload(); break;
            case 9: probeStale(); break;
            case 10: ownSession(); break;
            case 11: lastError(); break;
            case 12: counted(figures, Own::FCC_Echo()); break;
            case 13: {
                int enabled = -1;
                counted(figures, Own::FCC_IsFCCEnabled(&enabled));
                break;
            }
        }
    }

    void registerOne() {
        const int which = pick(FILES_PER_WORKER);
        char* handle = nullptr;
        if (counted(figures, Own::FCC_RegisterTicket(file(which).ticket.c_str(), &handle)) != 0) {
            return;
        }
        Registration& held = handles[which];
        // A new handle for the same ticket: the old one went with an
        // ended session.
        if (held.handle != handle) {
            if (held.handle) dead.push_back(held.handle);
            held = Registration{handle, 0};
        }
        ++held.count;
    }

    void unregisterOne() {
        if (handles.empty()) return;
        auto held = std::next(handles.begin(), pick(static_cast<int>(handles.size())));
        const int status = counted(figures, Own::FCC_UnRegisterTicket(held->second.handle));
        if (status == 0 && --held->second.count > 0) return;
        // Gone for good (or with its session): from now on it must name
        // nothing.
        dead.push_back(held->second.handle);
        handles.erase(held);
    }

    // A registered handle of this worker, or null.
    std::pair<int, char*> someHandle() {
        if (handles.empty()) return {-1, nullptr};
        auto held = std::next(handles.begin(), pick(static_cast<int>(handles.size())));
        return {held->first, held->second.handle};
    }

    void openAndRead() {
        const auto [which, handle] = someHandle();
        if (!handle) return;
        FccFile* opened = nullptr;
        if (counted(figures, Own::FCC_OpenFile(handle, &opened)) != 0) return;
        openFiles.push_back(opened);
        fileOf[opened] = which;
        readOpenFile(opened);
    }

    void readOpenFile() {
        if (!openFiles.empty()) readOpenFile(openFiles[pick(static_cast<int>(openFiles.size()))]);
    }

    void readOpenFile(FccFile* opened) {
        const StressFile& expected = file(fileOf[opened]);
        const auto size = static_cast<std::int64_t>(expected.content.size());
        std::int64_t known = -1;
        if (counted(figures, Own::FCC_FileSize(opened, &known)) == 0 && known != size) {
            ADD_FAILURE() << "file " << expected.number << ": size " << known << ", not " << size;
        }
        for (int reads = 1 + pick(4); reads > 0; --reads) {
            const std::int64_t at = size > 0 ? pick(static_cast<int>(size)) : 0;
            if (counted(figures, Own::FCC_SeekAbsolute(opened, at)) != 0) continue;
            std::int64_t from = -1;
            if (counted(figures, Own::FCC_GetSeekPointer(opened, &from)) != 0) continue;
            std::vector<char> buffer(static_cast<std::size_t>(1 + pick(30000)));
            int bytesRead = 0;
            const int status =
                counted(figures, Own::FCC_ReadBytes(opened, "IMD", static_cast<int>(buffer.size()),
                                                    &bytesRead, buffer.data()));
            if (status != 0) continue;
            for (int i = 0; i < bytesRead; ++i) {
                if (from + i >= size || buffer[i] != expected.content[from + i]) {
                    ++figures.wrongBytes;
                    std::fprintf(stderr,
                                 "file %d (%lld bytes%s%s): %d bytes read from %lld, byte %d is "
                                 "%d\n",
                                 expected.number, static_cast<long long>(size),
                                 expected.unknownSize ? ", size unknown" : "",
                                 expected.cached ? ", cached" : "", bytesRead,
                                 static_cast<long long>(from), i, buffer[i]);
                    ADD_FAILURE() << "file " << expected.number << ": wrong byte at " << from + i;
                    break;
                }
            }
            figures.bytesChecked += bytesRead;
        }
    }

    void closeOpenFile() {
        if (openFiles.empty()) return;
        const int at = pick(static_cast<int>(openFiles.size()));
        FccFile* opened = openFiles[at];
        openFiles.erase(openFiles.begin() + at);
        fileOf.erase(opened);
        counted(figures, Own::FCC_CloseFileHandlePointer(opened));
        // Closed, or freed with its session: either way it is no file now.
        deadFiles.push_back(opened);
    }

    static int progress(void*, void* data, std::int64_t, std::int64_t, int* go) {
        auto* self = static_cast<Worker*>(data);
        *go = 1;
        switch (self->pick(8)) {
            case 0: counted(self->figures, Own::FCC_Echo()); break;
            case 1: *go = 0; break;  // cancelled
            case 2:
                // Termination from inside the transfer, of the reference
                // this worker holds.
                if (self->ownReference) {
                    self->ownReference = false;
                    ++self->figures.terminationsInCallbacks;
                    counted(self->figures, Own::FCC_Term());
                }
                break;
            default: break;
        }
        return 0;
    }

    void download() {
        const auto [which, handle] = someHandle();
        if (!handle) return;
        char* path = nullptr;
        FccProgressCallback callback = pick(2) ? progress : nullptr;
        if (counted(figures, Own::FCC_DownloadFileFromPLM("IMD", handle, callback, this, &path)) ==
            0) {
            const std::string cached = path ? path : "";
            EXPECT_EQ(cached.rfind("cache/files/", 0), 0u) << cached;
        }
        Tagged::releaseAny(path);
    }

    void upload() {
        std::vector<char*> chosen;
        for (const auto& held : handles) {
            if (pick(2)) chosen.push_back(held.second.handle);
        }
        if (chosen.empty()) return;
        const int count = static_cast<int>(chosen.size());
        std::vector<const char*> paths(chosen.size(), "/data/upload");
        std::vector<char*> volumes(chosen.size(), nullptr);
        std::vector<int> statuses(chosen.size(), 0);
        const bool wantVolumes = pick(2);
        counted(figures, Own::FCC_UploadFilesToPLM(
                             count, chosen.data(), pick(2) ? progress : nullptr, this, paths.data(),
                             pick(2), wantVolumes ? volumes.data() : nullptr, statuses.data()));
        for (char* volume : volumes) Tagged::releaseAny(volume);
    }

    // A handle or file released before must name nothing now.
    void probeStale() {
        if (!dead.empty()) {
            char* handle = dead[pick(static_cast<int>(dead.size()))];
            ++figures.staleProbes;
            int status = 0;
            switch (pick(3)) {
                case 0: status = Own::FCC_UnRegisterTicket(handle); break;
                case 1: {
                    FccFile* opened = nullptr;
                    status = Own::FCC_OpenFile(handle, &opened);
                    if (status == 0) counted(figures, Own::FCC_CloseFileHandlePointer(opened));
                    break;
                }
                default: {
                    char* path = nullptr;
                    status = Own::FCC_DownloadFileFromPLM("IMD", handle, nullptr, nullptr, &path);
                    Tagged::releaseAny(path);
                    break;
                }
            }
            staleResult(counted(figures, status));
        }
        if (!deadFiles.empty()) {
            FccFile* opened = deadFiles[pick(static_cast<int>(deadFiles.size()))];
            ++figures.staleProbes;
            char buffer[16];
            int bytesRead = 0;
            staleResult(
                counted(figures, Own::FCC_ReadBytes(opened, "IMD", 16, &bytesRead, buffer)));
        }
        // Kept bounded: the oldest are forgotten.
        if (dead.size() > 64) dead.erase(dead.begin(), dead.begin() + 32);
        if (deadFiles.size() > 64) deadFiles.erase(deadFiles.begin(), deadFiles.begin() + 32);
    }

    void staleResult(int status) {
        if (status == 0) {
            ++figures.staleHandlesThatWorked;
            ADD_FAILURE() << "a released handle worked";
        }
    }

    // A reference of the worker's own, with a pair of its own.
    void ownSession() {
        if (ownReference) {
            ownReference = false;
            counted(figures, Own::FCC_Term());
            return;
        }
        ownReference = counted(figures, initWithPair(pick(PAIR_CHOICES))) == 0;
    }

    void lastError() {
        const char* text = nullptr;
        counted(figures, Own::FCC_GetLastError(&text));
        // Read whole, whatever other threads do meanwhile.
        if (text) figures.bytesChecked += static_cast<long>(std::strlen(text));
    }

    const int index;
    const std::vector<StressFile>& files;
    Figures& figures;
    std::mt19937 random;
    std::map<int, Registration> handles;  // by file index
    std::vector<FccFile*> openFiles;
    std::map<FccFile*, int> fileOf;
    std::vector<char*> dead;
    std::vector<FccFile*> deadFiles;
    bool ownReference = false;
};

// ---- The run ------------------------------------------------------------------

class SelfProxyStress : public SelfProxyServer {
protected:
    void SetUp() override {
        SelfProxyServer::SetUp();
        server->setKeepRequests(false);
        // The fast cache the server describes, with some of the files in it.
        previous = std::filesystem::current_path();
        std::filesystem::current_path(root);
        Fcc::FMSC_OPEN_PARAMS params = FakeFccServer::describedCache();
        std::filesystem::create_directories(params.folder);
        ASSERT_EQ(Fcc::FMSCIF_OpenS(&params, &cache), 0);
    }

    void TearDown() override {
        SelfProxyServer::TearDown();
        if (cache) Fcc::FMSCIF_Close(&cache);
        std::filesystem::current_path(previous);
    }

    void serveFiles() {
        server->setProgressReports(2);
        for (const StressFile& file : files) {
            server->addFile(file.ticket, file.content, file.unknownSize);
        }
    }

    void restartServer() {
        server.reset();
        server = std::make_unique<FakeFccServer>();
        server->setKeepRequests(false);
        serveFiles();
    }

    // Ends sessions and begins new ones, until stopped. A thread of its
    // own: a session's set-up and end wait for the server, which must not
    // hold up the restarts and faults.
    void endAndBegin(const std::atomic<bool>& stop, Figures& figures, unsigned seed) {
        std::mt19937 random(seed);
        const auto pick = [&](int bound) {
            return std::uniform_int_distribution<int>(0, bound - 1)(random);
        };
        bool holding = true;  // this thread's own reference, from init()
        while (!stop) {
            Own::FmsSleepMs(static_cast<std::uint32_t>(1 + pick(30)));
            if (pick(3) == 0) {
                // The session ends whatever references the workers hold,
                // while their calls run: what it leaves to them must go
                // back to its own pair once the next session has put
                // another in force.
                while (Own::FCC_Term() == 0) {
                }
                ++figures.sessionsEnded;
            } else if (holding) {
                // This thread's reference alone: the session ends only when
                // no worker holds one.
                Own::FCC_Term();
            }
            holding = initWithPair(pick(PAIR_CHOICES)) == 0;
        }
    }

    // Restarts the server, silences it and scripts faults into its replies,
    // until stopped.
    void upsetServer(const std::atomic<bool>& stop, Figures& figures, unsigned seed) {
        std::mt19937 random(seed);
        const auto pick = [&](int bound) {
            return std::uniform_int_distribution<int>(0, bound - 1)(random);
        };
        static const std::uint16_t messages[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 11, 12, 13, 14, 15};
        // Faults the client can tell from a good reply. (A data reply that
        // carries more than the file holds, but no more than was asked for,
        // is the server's word on a file whose size the client does not
        // know: no client could tell.)
        static const Fault faults[] = {
            Fault::ErrorReply,       Fault::Disconnect,       Fault::WrongSequence,
            Fault::WrongMessageType, Fault::WrongTypeId,      Fault::DataOffset,
            Fault::DataLength,       Fault::HugeLength,       Fault::ShortString,
            Fault::ProgressInstead,  Fault::EndOfDataInstead, Fault::NotOpenHandle,
            Fault::RefuseVersion};
        constexpr int FAULT_KINDS = sizeof faults / sizeof faults[0];
        int sinceRestart = 0;
        while (!stop) {
            Own::FmsSleepMs(static_cast<std::uint32_t>(1 + pick(10)));
            switch (pick(8)) {
                case 0:
                    server->injectFault(messages[pick(14)], Fault::Silent);
                    ++figures.silences;
                    break;
                case 1:
                case 2:
                case 3:
                    server->injectFault(messages[pick(14)], faults[pick(FAULT_KINDS)]);
                    ++figures.faults;
                    break;
                default: break;
            }
            // A silent server holds its callers until it goes away.
            if (++sinceRestart > 20 || pick(15) == 0) {
                sinceRestart = 0;
                restartServer();
                ++figures.restarts;
            }
        }
    }

    std::vector<StressFile> files;
    Fcc::FMSC_FILETOC_T* cache = nullptr;
    std::filesystem::path previous;
};

TEST_F(SelfProxyStress, ManyThreadsTerminationsRestartsSilencesAndFaults) {
    const int seconds = setting("FCC_STRESS_SECONDS", 3);
    const int threads = setting("FCC_STRESS_THREADS", 12);
    // Another course each run, unless a run is to be repeated.
    const auto seed =
        static_cast<unsigned>(setting("FCC_STRESS_SEED", 1 + std::random_device()() % 1000000));
    std::printf("seed %u (FCC_STRESS_SEED repeats the run's choices)\n", seed);
    for (int worker = 0; worker < threads; ++worker) {
        for (int index = 0; index < FILES_PER_WORKER; ++index) {
            files.push_back(makeFile(worker, index));
            const StressFile& file = files.back();
            if (!file.cached) continue;
            std::int32_t first = -1;
            ASSERT_EQ(
                Fcc::FMSCIF_AddFile(cache, file.guid.c_str(),
                                    static_cast<std::uint32_t>(file.content.size()), 0, &first),
                0);
            ASSERT_EQ(
                Fcc::FMSCIF_WriteData(cache, &first, 0,
                                      reinterpret_cast<const std::uint8_t*>(file.content.data()),
                                      static_cast<std::int32_t>(file.content.size())),
                0);
        }
    }
    serveFiles();

    Figures figures;
    OutputCapture out(1);  // banners and warnings of many sessions
    init(Tagged::allocA, Tagged::releaseA);
    std::atomic<bool> stop{false};
    std::vector<std::thread> workers;
    for (int worker = 0; worker < threads; ++worker) {
        workers.emplace_back([&, worker] {
            Worker(worker, files, figures, seed + 1000u * static_cast<unsigned>(worker + 1))
                .run(stop);
        });
    }
    std::thread sessions([&] { endAndBegin(stop, figures, seed); });
    std::thread upsetter([&] { upsetServer(stop, figures, seed + 1u); });
    // The run's length is its workload, not a wait for an event.
    Own::FmsSleepMs(static_cast<std::uint32_t>(seconds) * 1000u);
    stop = true;
    upsetter.join();
    // Threads held by a silent server are let go by its end.
    std::atomic<bool> joined{false};
    std::thread releaser([&] {
        while (!joined) {
            Own::FmsSleepMs(50);
            if (!joined) restartServer();
        }
    });
    sessions.join();
    for (auto& worker : workers) worker.join();
    joined = true;
    releaser.join();
    while (Own::FCC_Term() == 0) {
    }
    // Each session that began (trials of FCC_IsFCCEnabled too) printed
    // its banner.
    const std::string printed = out.finish();
    long sessionsBegun = 0;
    for (auto at = printed.find(" initialized.\n"); at != std::string::npos;
         at = printed.find(" initialized.\n", at + 1)) {
        ++sessionsBegun;
    }

    std::printf(
        "%d threads, %d s: %ld calls (%ld succeeded), %ld bytes checked, %ld stale probes, %ld "
        "sessions begun (%ld ended under the workers, %ld terminations from progress "
        "callbacks), %ld server restarts, %ld silences, %ld faults\n",
        threads, seconds, figures.calls.load(), figures.succeeded.load(),
        figures.bytesChecked.load(), figures.staleProbes.load(), sessionsBegun,
        figures.sessionsEnded.load(), figures.terminationsInCallbacks.load(),
        figures.restarts.load(), figures.silences.load(), figures.faults.load());
    EXPECT_EQ(figures.wrongBytes, 0);
    EXPECT_EQ(figures.staleHandlesThatWorked, 0);

    // Everything is back to zero.
    EXPECT_EQ(Fcc::registeredTicketCount(), 0u);
    EXPECT_EQ(Fcc::openFileCount(), 0u);
    EXPECT_TRUE(
        eventually([&] { return server->connectionsClosed() == server->connectionsAccepted(); }));
    for (char pair : {'A', 'B'}) {
        EXPECT_EQ(Tagged::countsOf(pair).foreign, 0) << pair;
        EXPECT_EQ(Tagged::countsOf(pair).outstanding, 0) << pair;
    }
    EXPECT_EQ(cache->shared->clients, 0);
    for (pid_t child : children()) EXPECT_NE(stateOf(child), 'Z') << child;
}

// Reads a file whole through the interface: 0 when every byte is right, the
// first status that is not 0 otherwise (1 for a wrong byte).
int readWhole(const StressFile& file) {
    char* handle = nullptr;
    if (const int status = Own::FCC_RegisterTicket(file.ticket.c_str(), &handle)) return status;
    FccFile* opened = nullptr;
    int status = Own::FCC_OpenFile(handle, &opened);
    std::string read(file.content.size() + 1, '\0');
    int bytesRead = 0;
    if (status == 0)
        status = Own::FCC_ReadBytes(opened, "IMD", static_cast<int>(read.size()), &bytesRead,
                                    read.data());
    if (status == 0 && read.substr(0, std::size_t(bytesRead)) != file.content) status = 1;
    if (opened) Own::FCC_CloseFileHandlePointer(opened);
    Own::FCC_UnRegisterTicket(handle);
    return status;
}

// Children forked while two threads register, open and read and a third
// empties the fast cache: another thread may hold any lock of the
// interface or of the cache, or be half way through a call. Each child's
// calls read every byte right or fail at once as the interface refuses a
// process forked in the middle of a call (ERR_FMSCP_NOT_SUPPORTED), and
// none waits for ever.
TEST_F(SelfProxyStress, ChildrenForkedWhileThreadsRegisterOpenReadAndEmptyTheCache) {
    for (int index = 0; index < FILES_PER_WORKER; ++index) files.push_back(makeFile(0, index));
    const StressFile& cached = files[4];
    std::int32_t first = -1;
    ASSERT_EQ(Fcc::FMSCIF_AddFile(cache, cached.guid.c_str(),
                                  static_cast<std::uint32_t>(cached.content.size()), 0, &first),
              0);
    ASSERT_EQ(Fcc::FMSCIF_WriteData(cache, &first, 0,
                                    reinterpret_cast<const std::uint8_t*>(cached.content.data()),
                                    static_cast<std::int32_t>(cached.content.size())),
              0);
    serveFiles();
    OutputCapture out(1);
    init();
    std::atomic<bool> stop{false};
    std::atomic<int> calls{0}, wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; !stop; ++i, ++calls) {
                if (t == 2) {
                    Own::FmsClearCache();
                } else if (readWhole(files[std::size_t(4 - t * (i % 2) * 2)]) == 1) {
                    ++wrong;
                }
            }
        });
    }
    std::vector<pid_t> forked;
    for (int child = 0; child < 40; ++child) {
        const int before = calls;
        ASSERT_TRUE(eventually([&] { return calls > before; }));
        forked.push_back(startChild([this] {
            if (!childrenOfThreadsRun) return;
            for (const int index : {4, 2}) {
                const int status = readWhole(files[std::size_t(index)]);
                if (status == Fcc::ERR_FMSCP_NOT_SUPPORTED) return;
                if (status != 0) _exit(10 + index);
            }
        }));
    }
    std::string ends;
    for (const pid_t child : forked) ends += endOf(child) + " ";
    stop = true;
    for (auto& thread : threads) thread.join();
    out.finish();
    if (childrenOfThreadsRun) {
        EXPECT_EQ(ends.find_first_not_of(' '), std::string::npos) << ends;
    }
    EXPECT_EQ(wrong, 0);
}

}  // namespace
