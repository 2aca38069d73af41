#pragma once

// Hooks through which tests watch and steer the crypto stand-in.
namespace Quillomark::Platform::Testing {

// How often QmCrypto_System_Initialize was called in this process.
int cryptoInitializeCount();
// The mode of the last call, 0 before the first.
int cryptoLastMode();
// Makes the next call report failure (0).
void failNextCryptoInitialize();

}  // namespace Quillomark::Platform::Testing
