#pragma once

// Symbols of the library are hidden by default; QMSOA_API marks what an
// application may use.
#define QMSOA_API __attribute__((visibility("default")))
