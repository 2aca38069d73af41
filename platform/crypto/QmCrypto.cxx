#include <platform/crypto/QmCrypto.hxx>
#include <platform/crypto/internal/QmCryptoTesting.hxx>

namespace {

// Nothing in this build needs the crypto library to be initialised (libcurl
// brings its own TLS); the stand-in only records what it was asked.
int callCount = 0;
int lastMode = 0;
bool failNext = false;

}  // namespace

extern "C" int QmCrypto_System_Initialize(int mode) {
    ++callCount;
    lastMode = mode;
    if (failNext) {
        failNext = false;
        return 0;
    }
    return 1;
}

namespace Quillomark::Platform::Testing {

int cryptoInitializeCount() { return callCount; }
int cryptoLastMode() { return lastMode; }
void failNextCryptoInitialize() { failNext = true; }

}  // namespace Quillomark::Platform::Testing
