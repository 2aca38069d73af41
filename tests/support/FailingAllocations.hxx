#pragma once

// The global allocation functions of a test executable built with
// FailingAllocations.cxx: they fail the n-th allocation from now (alone, or
// with every one after it) and count the blocks in use. Only one thread of
// such an executable allocates while a test sets them.

namespace Quillomark::Testing::FailingAllocations {

extern long failAfter;  // allocations left before one fails; -1: never fail
extern bool failOnce;   // whether only that one fails, or every one from it on
extern long live;       // blocks allocated and not yet freed

}  // namespace Quillomark::Testing::FailingAllocations
