// What the processor offers beyond the deliverables' baseline, asked once at run time.
#pragma once

namespace cellprox {

// True when the processor has AVX2 and the operating system saves its registers across
// switches (both are needed before any AVX2 instruction may run).
bool processor_has_avx2();

}  // namespace cellprox
