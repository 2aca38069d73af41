// The main road with each allocation of the calling thread failing in turn,
// alone and with every one after it, in a process of its own each time: a
// whole HTTP session against the loopback PLM service, and a whole IIOP
// session at the tests' gateway. Every step ends as it does with memory, or
// in std::bad_alloc where an allocation of its own failed, and works when
// tried again on the same connection once memory is back; the connection's
// end needs no memory; nothing is held once it is gone; and the next whole
// session of the process works.

#include <soa/client/Connection.hxx>
#include <soa/client/ModelManager.hxx>
#include <soa/client/PartialErrorListener.hxx>
#include <soa/client/RestSender.hxx>
#include <soa/client/RuntimeException.hxx>
#include <soa/client/SessionManager.hxx>
#include <soa/client/internal/GatewayOrb.hxx>
#include <soa/client/model/Folder.hxx>
#include <soa/client/model/Item.hxx>
#include <soa/client/model/ItemRevision.hxx>
#include <soa/client/model/ReleaseStatus.hxx>
#include <soa/client/model/User.hxx>
#include <soa/common/SAXToNodeParser.hxx>
#include <soa/schemas/exceptions/ServiceException.hxx>
#include <soa/services/core/SessionService.hxx>

#include "tests/support/AllocationSweep.hxx"
#include "tests/support/Doubles.hxx"
#include "tests/support/GatewayServerProcess.hxx"
#include "tests/support/LeaksUncounted.hxx"
#include "tests/support/LoopbackPlmService.hxx"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cxxabi.h>
#include <execinfo.h>
#include <unistd.h>
#include <climits>
#include <exception>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <typeinfo>
#include <vector>

namespace {

namespace Client = Quillomark::Soa::Client;
namespace Model = Quillomark::Soa::Client::Model;
namespace Faults = Quillomark::Schemas::Soa::_2006_03::Exceptions;
namespace Failing = Quillomark::Testing::FailingAllocations;
using Quillomark::Testing::LoopbackPlmService;

template <class Thrown>
std::string className(const Thrown& thrown) {
    int status = 0;
    char* name = abi::__cxa_demangle(typeid(thrown).name(), nullptr, nullptr, &status);
    std::string plain = name != nullptr ? name : typeid(thrown).name();
    std::free(name);
    return plain.substr(plain.rfind(':') + 1);
}

// An exception as a line: its class and its message.
std::string described(const std::exception_ptr& thrown) {
    std::string text;
    try {
        std::rethrow_exception(thrown);
    } catch (const std::bad_alloc&) {
        return "std::bad_alloc";
    } catch (const Faults::ServiceException& e) {
        text = "ServiceException " + std::to_string(e.getCode()) + " " + e.getMessage();
    } catch (const Faults::SoaException& e) {
        text = className(e) + " " + e.getMessage();
    } catch (const Client::RuntimeException& e) {
        text = "RuntimeException " + std::to_string(e.getType()) + " " + e.getMessage();
    } catch (const std::exception& e) {
        text = className(e) + " " + e.what();
    } catch (...) {
        text = "an exception of no known root";
    }
    for (std::size_t line; (line = text.find('\n')) != std::string::npos;) {
        text.replace(line, 1, " / ");
    }
    return text;
}

// One step of a session: what the application does (with the hook armed),
// and what is wrong with what that gave ("" when nothing is), asked with
// memory back.
struct Step {
    const char* stage;
    std::function<void()> act;
    std::function<std::string()> check;
};

// omniORB's own ends of a failed allocation, which the library cannot mend
// and the README tells. Where one of the last of the first ORB_init's
// allocations failed, omniORB refuses every later ORB_init of the process.
bool orbRefusedForGood(const std::exception_ptr& thrown) {
    return Failing::firstFailureWithin("ORB_init") &&
           described(thrown).find("INITIALIZE_FailedORBInit") != std::string::npos;
}

// Where omniORB's reading of a reply ran out of memory, and memory is still
// short as it drops that connection, its destructor throws: the process
// ends. The step it ended in is told.
int endingTold = -1;
const char* acting = "";
[[noreturn]] void terminated() {
    void* frames[64];
    const int depth = backtrace(frames, 64);
    if (Failing::withinStack(frames, depth, "IOP_C_Holder")) {
        Failing::failAfter = -1;
        Quillomark::Testing::tell(
            endingTold,
            std::string(acting) + "\tthe process ended as omniORB dropped a connection\n");
        _exit(0);
    }
    std::abort();
}

// Runs the steps of a session in order, with the allocation `failAfter` of
// the calling thread failing (-1: none), alone or with every one after it
// as the hook says. The hook is armed only while a step acts, so that what
// the test itself allocates never fails. A step that throws where memory
// ran out in it acts again once memory is back, on the same connection.
// With counts, the allocations of each stage are added up there.
class Armed {
public:
    explicit Armed(long failAfter, std::map<std::string, long>* counts = nullptr)
        : left(counts ? LONG_MAX : failAfter), counts(counts) {}

    // What went wrong, a line each.
    std::string run(const std::vector<Step>& steps) {
        std::string wrong;
        for (const Step& step : steps) {
            const long failedBefore = Failing::failed;
            const long before = left;
            std::exception_ptr thrown = attempt(step);
            if (counts) (*counts)[step.stage] += before - left;
            const bool ranOut = Failing::failed != failedBefore;
            if (ranOut && stage.empty()) {
                stage = step.stage;
                ending = thrown ? described(thrown) : "returned";
            }
            if (thrown) {
                if (!ranOut && refused(thrown)) continue;
                if (!ranOut || !endsForMemory(thrown)) {
                    wrong += std::string(step.stage) + " threw " + described(thrown) + "\n";
                }
                left = -1;
                thrown = attempt(step);
                if (thrown && !refused(thrown)) {
                    wrong += std::string(step.stage) + " threw " + described(thrown) +
                             " when tried again with memory\n";
                }
                if (thrown) continue;
            }
            const std::string checked = step.check();
            if (!checked.empty()) wrong += std::string(step.stage) + ": " + checked + "\n";
        }
        return wrong;
    }

    std::string stage;            // where the first allocation failed
    std::string ending;           // what the step of that stage ended in
    bool refusedForGood = false;  // omniORB refused IIOP from then on

private:
    // std::bad_alloc, a reply's parse that ran out of memory, or omniORB's
    // ORB_init that did.
    static bool endsForMemory(const std::exception_ptr& thrown) {
        const std::string ending = described(thrown);
        return ending == "std::bad_alloc" ||
               ending == "ProtocolException Out of memory while parsing the document" ||
               (Failing::firstFailureWithin("ORB_init") &&
                ending.find("INITIALIZE_FailedORBInit") != std::string::npos);
    }

    bool refused(const std::exception_ptr& thrown) {
        refusedForGood = refusedForGood || orbRefusedForGood(thrown);
        return refusedForGood && orbRefusedForGood(thrown);
    }

    std::exception_ptr attempt(const Step& step) {
        std::exception_ptr thrown;
        acting = step.stage;
        Failing::failAfter = left;
        try {
            step.act();
        } catch (...) {
            thrown = std::current_exception();
        }
        left = Failing::failAfter.exchange(-1);
        return thrown;
    }

    long left;
    std::map<std::string, long>* counts;
};

// The listener of the application: what it heard, a line per error stack.
class HeardPartialErrors : public Client::PartialErrorListener {
public:
    void handlePartialErrors(const std::vector<Client::ErrorStack>& errors) override {
        for (const Client::ErrorStack& stack : errors) {
            heard += stack.getClientId() + " " +
                     (stack.getErrorValueCount() == 1 ? std::to_string(stack.getErrorValue(0).code)
                                                      : "errors") +
                     "\n";
            object = stack.getAssociatedObject();
        }
    }
    std::string heard;
    Client::ModelObject* object = nullptr;
};

// The typed reads of the folder and what it holds.
std::string readsOf(Model::Folder* folder) {
    if (folder == nullptr) return "no folder";
    std::string reads = folder->get_object_name();
    reads += folder->get_creation_date() == Quillomark::Soa::Common::DateTime(2023, 11, 2, 9, 15, 0)
                 ? ", dated"
                 : ", misdated";
    for (unsigned i = 0; i < folder->count_contents(); ++i) {
        auto* item = dynamic_cast<Model::Item*>(folder->get_contents_at(i));
        if (item == nullptr) {
            reads += "; not an item";
            continue;
        }
        reads += "; " + item->get_item_id() + " " + item->get_object_desc();
        for (Client::ModelObject* object : item->get_revision_list()) {
            auto* revision = dynamic_cast<Model::ItemRevision*>(object);
            if (revision == nullptr || revision->get_items_tag() != item) {
                reads += ", not its revision";
                continue;
            }
            reads += ", " + revision->get_item_revision_id();
            for (unsigned s = 0; s < revision->count_release_status_list(); ++s) {
                reads += " " + revision->get_release_status_list_at(s)->get_name();
            }
        }
    }
    return reads;
}

// The example application's session: a connection, a login through the
// core session service, a folder looked up and loaded into the model
// manager with its typed reads and a partial error heard, the session lost
// on the server and logged in again, a request refused, the end.
class HttpSession {
public:
    explicit HttpSession(LoopbackPlmService& service) : service(service) {
        credentials.credentials = {LoopbackPlmService::USER, LoopbackPlmService::PASSWORD,
                                   "Engineering", "Designer", ""};
    }

    std::vector<Step> steps() {
        const auto none = [] { return std::string(); };
        return {
            {"connection",
             [this] {
                 connection.emplace(service.hostPath(), &credentials, Client::Connection::HTTP,
                                    Client::Connection::REST, true);
                 connection->getModelManager()->addPartialErrorListener(&partialErrors);
             },
             none},
            {"login",
             [this] {
                 const auto response =
                     Quillomark::Services::Core::SessionService::getService(&connection.value())
                         ->login(LoopbackPlmService::USER, LoopbackPlmService::PASSWORD,
                                 "Engineering", "Designer", "");
                 auto* user = dynamic_cast<Model::User*>(response.user);
                 userName = user ? user->get_user_name() : "no user";
             },
             [this] { return userName == "Dana Designer" ? "" : "logged in as " + userName; }},
            {"findFolder",
             [this] {
                 partialErrors.heard.clear();
                 home = findFolder(LoopbackPlmService::HOME_FOLDER);
                 reads = readsOf(home);
             },
             [this] {
                 return reads != READS                             ? "read " + reads
                        : partialErrors.heard != "000103 515024\n" ? "heard " + partialErrors.heard
                        : partialErrors.object != home ? "a partial error of another object"
                                                       : "";
             }},
            {"a lost session",
             [this] {
                 service.endSessions();
                 partialErrors.heard.clear();
                 again = findFolder(LoopbackPlmService::HOME_FOLDER);
             },
             [this] {
                 return again != home || readsOf(again) != READS
                            ? "another folder after the re-login"
                            : "";
             }},
            {"a refused request",
             [this] {
                 partialErrors.heard.clear();
                 try {
                     findFolder("Archive");
                     refusal = "returned";
                 } catch (const Faults::ServiceException& e) {
                     refusal = std::to_string(e.getCode()) + " " + e.getMessage();
                 }
             },
             [this] {
                 return refusal != "38015 The folder \"Archive\" does not exist."
                            ? "refused " + refusal
                        : partialErrors.heard.empty() ? ""
                                                      : "heard " + partialErrors.heard;
             }},
            {"the end", [this] { connection.reset(); }, none},
        };
    }

private:
    static constexpr const char* READS =
        "Home, dated; 000101 Mounting bracket, cast aluminium, A Released, B; 000102 Gearbox "
        "housing \xE2\x80\x93 left & right, A";

    Model::Folder* findFolder(const std::string& name) {
        const Client::ServiceData loaded =
            Quillomark::Testing::findFolder(connection.value(), name);
        return loaded.getPlainObjs().size() == 1
                   ? dynamic_cast<Model::Folder*>(loaded.getPlainObjs()[0])
                   : nullptr;
    }

    LoopbackPlmService& service;
    Quillomark::Testing::RecordingCredentialManager credentials;
    HeardPartialErrors partialErrors;
    std::optional<Client::Connection> connection;
    std::string userName;
    Model::Folder* home = nullptr;
    std::string reads;
    Model::Folder* again = nullptr;
    std::string refusal;
};

// A session at the tests' gateway: a connection, the process's first
// request (a reply parsed), echoes of 20 bytes and of 70 kB, a call that
// the gateway answers with its names, the end.
class IiopSession {
public:
    explicit IiopSession(const std::string& hostPath) : hostPath(hostPath) {
        for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i % 251);
    }

    std::vector<Step> steps() {
        const auto same = [](const std::string& reply, const std::string& request) {
            return [&reply, &request] {
                return reply == request ? ""
                                        : "a reply of " + std::to_string(reply.size()) +
                                              " bytes, not the request";
            };
        };
        return {
            {"connection",
             [this] {
                 connection.emplace(hostPath, nullptr, Client::Connection::IIOP,
                                    Client::Connection::REST, false);
             },
             [] { return std::string(); }},
            {"the first request",
             [this] {
                 Quillomark::Soa::Common::Xml::SAXToNodeParser parser;
                 sender()->invoke("Core-2006-03-Session", "echo", "<first/>", parser);
                 first = parser.getRoot().getName();
             },
             [this] { return first == "first" ? "" : "read " + first; }},
            {"a 20 B echo", [this] { sender()->send("S", "echo", small, smallReply); },
             same(smallReply, small)},
            {"a 70 kB echo", [this] { sender()->send("S", "echo", large, largeReply); },
             same(largeReply, large)},
            {"a named call",
             [this] { sender()->send("Query-2007-06-Finder", "findFolder", "<a/>", named); },
             [this] { return named == NAMED ? "" : "answered " + named; }},
            {"the end", [this] { connection.reset(); },
             [] {
                 return Client::GatewayOrb::shares() == 0 ? ""
                                                          : "the ORB still shared once it ended";
             }},
        };
    }

private:
    static constexpr const char* NAMED = "Query-2007-06-Finder|findFolder|<a/>";

    Client::RestSender* sender() {
        return Client::SessionManager::getSessionManager(&connection.value())->getRestSender();
    }

    std::string hostPath;
    std::optional<Client::Connection> connection;
    std::string first;
    const std::string small = "twenty bytes, echoed";
    std::string smallReply;
    std::string large = std::string(70 * 1024, '\0');
    std::string largeReply;
    std::string named;
};

// The torture run of a session (made by `session` in each process): the
// stages and the allocations each makes, counted once; then each point, the
// stage where its allocation failed and what that ended in, tallied; and
// every point that went wrong.
template <class Session, class Make>
void sweep(Make session) {
    const auto start = std::chrono::steady_clock::now();
    std::string counted;
    ASSERT_EQ(Quillomark::Testing::childSays(
                  [&](int fd) {
                      Failing::onlyThread = std::this_thread::get_id();
                      std::map<std::string, long> counts;
                      Session made = session();
                      const std::string wrong = Armed(-1, &counts).run(made.steps());
                      std::string text;
                      for (const auto& [stage, count] : counts) {
                          text += "  " + stage + ": " + std::to_string(count) + "\n";
                      }
                      Quillomark::Testing::tell(fd, wrong.empty() ? text : "wrong:\n" + wrong);
                  },
                  counted),
              "");
    ASSERT_EQ(counted.find("wrong"), std::string::npos) << counted;
    std::cout << "Allocations by stage, in the process's first session:\n" << counted;

    // By stage and ending: the points where the allocation failed alone,
    // and where every one from it on did.
    std::map<std::string, std::map<std::string, std::pair<long, long>>> endings;
    std::string wrong;
    const long points = Quillomark::Testing::sweepAllocations(
        [&](long allocation, int fd) {
            Failing::onlyThread = std::this_thread::get_id();
            endingTold = fd;
            std::set_terminate(terminated);
            std::string ended;
            std::string wrongs;
            bool refusedForGood = false;
            {
                Session failing = session();
                Armed armed(allocation);
                wrongs = armed.run(failing.steps());
                if (Failing::failed == 0) _exit(Quillomark::Testing::PAST_THE_LAST);
                ended = armed.stage + "\t" + armed.ending;
                Session next = session();
                Armed again(-1);
                const std::string nextWrongs = again.run(next.steps());
                if (!nextWrongs.empty()) wrongs += "the next session: " + nextWrongs;
                refusedForGood = armed.refusedForGood || again.refusedForGood;
            }
            // omniORB is not written to cope with its own allocations
            // failing: what it loses then is its own.
            const bool omniOrbs = Failing::firstFailureWithin("libomni");
            if (omniOrbs) ended += " (omniORB's allocation)";
            if (refusedForGood) ended += ", and omniORB refused IIOP from then on";
#ifdef QMSOA_LEAKS_CHECKED
            if (__lsan_do_recoverable_leak_check() != 0) {
                if (omniOrbs) {
                    ended += ", and omniORB lost memory";
                } else {
                    wrongs += "leaks\n";
                }
            }
#endif
            Quillomark::Testing::tell(fd, ended + "\n" + wrongs);
        },
        8, std::chrono::seconds(30),
        [&](const Quillomark::Testing::SweepPoint& point) {
            const std::size_t tab = point.said.find('\t');
            const std::size_t line = point.said.find('\n');
            std::string rest = point.said;
            if (tab != std::string::npos && line != std::string::npos && tab < line) {
                auto& count =
                    endings[point.said.substr(0, tab)][point.said.substr(tab + 1, line - tab - 1)];
                ++(point.once ? count.first : count.second);
                rest = point.said.substr(line + 1);
            }
            if (!point.ended.empty() || !rest.empty()) {
                wrong += std::string(point.once ? "only" : "from") + " allocation " +
                         std::to_string(point.allocation) + ": " +
                         (point.ended.empty() ? "" : point.ended + "; ") + rest + "\n";
            }
        });
    std::cout << points << " allocations swept in "
              << std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() -
                                                                  start)
                     .count()
              << " s; what each stage's steps ended in where one of their allocations failed "
                 "(alone, and with every one after it):\n";
    for (const auto& [stage, ended] : endings) {
        for (const auto& [ending, count] : ended) {
            std::cout << "  " << stage << ": " << ending << ": " << count.first << ", "
                      << count.second << "\n";
        }
    }
    EXPECT_EQ(wrong, "");
}

TEST(MainRoadWithoutMemory, AnHttpSessionWithEachAllocationFailing) {
    // Each process serves its own session: a server whose sessions another
    // process ended would change the allocations of this one's.
    std::optional<LoopbackPlmService> service;
    sweep<HttpSession>([&service]() -> HttpSession {
        if (!service) service.emplace();
        return HttpSession(*service);
    });
}

TEST(MainRoadWithoutMemory, AnIiopSessionWithEachAllocationFailing) {
    Quillomark::Testing::GatewayServerProcess gateway;
    gateway.start();
    const std::string hostPath = gateway.hostPath();
    // The process's first connection makes the model's factories, whose
    // allocations the HTTP session's sweep fails each: this one's
    // processes are forked once they are made, and fail IIOP's.
    {
        const Client::Connection first(hostPath, nullptr, Client::Connection::IIOP,
                                       Client::Connection::REST, false);
    }
    sweep<IiopSession>([&hostPath] { return IiopSession(hostPath); });
}

}  // namespace
