#pragma once

// The crypto library's system initialisation. `mode` is 1 for the domestic
// algorithm set and 2 for the FIPS-validated one; a result of 0 means that
// the library could not be initialised, anything else is success.
extern "C" int QmCrypto_System_Initialize(int mode);
