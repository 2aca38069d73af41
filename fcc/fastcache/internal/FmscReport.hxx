#pragma once

// Shorthands for the reports of the fast cache's functions; each source
// file defines FMSC_UNIT, its name as the reports give it.

#include <fcc/fastcache/internal/Fmsc.hxx>

// The handle's test: null pointer report (2), bad signature report (36).
#define FMSC_CHECK_TOC(toc)                                                                        \
    do {                                                                                           \
        if (!(toc)) return FMSCX_ReportNullPointer("pToc", FMSC_UNIT, __func__, __LINE__);         \
        if ((toc)->signature != FMSC_FILETOC_T_SIG)                                                \
            return FMSCX_ReportBadSig("FMSC_FILETOC_T_SIG", FMSC_UNIT, __func__, __LINE__);        \
    } while (0)

// A null argument: null parameter report, 76 recorded.
#define FMSC_CHECK_PARAM(toc, p)                                                                   \
    do {                                                                                           \
        if (!(p)) {                                                                                \
            FMSCX_ReportNullParameter(#p, FMSC_UNIT, __func__, __LINE__);                          \
            return FmscErrorSet((toc)->error, FMSC_UNIT, __func__, __LINE__, FMSC_EROR_NULL_PARAMETER); \
        }                                                                                          \
    } while (0)

// Records an error in the handle's error object, prints it, returns it.
#define FMSC_FAIL(toc, number) FmscErrorSet((toc)->error, FMSC_UNIT, __func__, __LINE__, (number))
#define FMSC_FAIL_VALUE(toc, number, value)                                                        \
    FmscErrorSetValue((toc)->error, FMSC_UNIT, __func__, __LINE__, (number), (value))

// Passes a failure on, with this function's traceback line.
#define FMSC_TRY(expression)                                                                       \
    do {                                                                                           \
        int fmscResult_ = (expression);                                                            \
        if (fmscResult_ != 0) {                                                                    \
            FMSCX_Traceback(__func__);                                                             \
            return fmscResult_;                                                                    \
        }                                                                                          \
    } while (0)
