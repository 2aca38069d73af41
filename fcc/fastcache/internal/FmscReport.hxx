#pragma once

// The checks and reports that every fast-cache function starts with. Each
// source file defines FMSC_UNIT, its name as the reports give it; a report
// names the place it comes from, which FMSC_HERE spells.

#include <fcc/fastcache/internal/Fmsc.hxx>

namespace Quillomark::Fcc {

// Where a report comes from: the source unit, the function and the line.
struct FmscWhere {
    const char* unit;
    const char* function;
    int line;
};

#define FMSC_HERE (::Quillomark::Fcc::FmscWhere{FMSC_UNIT, __func__, __LINE__})

// The handle's test: 0, else the null pointer report (2) or the bad
// signature report (36).
inline int FMSCX_CheckToc(const FMSC_FILETOC_T* toc, FmscWhere where) {
    if (!toc) return FMSCX_ReportNullPointer("pToc", where.unit, where.function, where.line);
    if (toc->signature != FMSC_FILETOC_T_SIG)
        return FMSCX_ReportBadSig("FMSC_FILETOC_T_SIG", where.unit, where.function, where.line);
    return 0;
}

// A null argument: the null parameter report, then 76 recorded and returned.
inline int FMSCX_NullParameter(FMSC_FILETOC_T* toc, const char* what, FmscWhere where) {
    FMSCX_ReportNullParameter(what, where.unit, where.function, where.line);
    return FmscErrorSet(toc->error, where.unit, where.function, where.line,
                        FMSC_EROR_NULL_PARAMETER);
}

// Passes a failure on, with the traceback line of the function it leaves.
inline int FMSCX_PassOn(const char* function, int error) {
    FMSCX_Traceback(function);
    return error;
}

}  // namespace Quillomark::Fcc

// Records an error in the handle's error object, prints it, returns it.
#define FMSC_FAIL(toc, number) FmscErrorSet((toc)->error, FMSC_UNIT, __func__, __LINE__, (number))
#define FMSC_FAIL_VALUE(toc, number, value) \
    FmscErrorSetValue((toc)->error, FMSC_UNIT, __func__, __LINE__, (number), (value))
