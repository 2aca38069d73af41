#pragma once

// A hook through which tests stop an open of the fast cache at a chosen
// step of making its files anew, to see what a process killed there
// leaves behind.
namespace Quillomark::Fcc::Testing {

// Called with the step's name ("removed fms.mf", "made fms.mf", ...) right
// after each step, on the opening thread; none (the default) when null.
using FmscOpenStep = void (*)(const char* step);
void setFmscOpenStep(FmscOpenStep step);

}  // namespace Quillomark::Fcc::Testing
