// Flush-to-zero guard; see denormals.h.
#include "denormals.h"

#if defined(__SSE__) || defined(__x86_64__) || defined(_M_X64)
#include <xmmintrin.h>
#define MIXENGINE_DENORMALS_SSE 1
#endif

namespace mixengine {

#if defined(MIXENGINE_DENORMALS_SSE)
namespace {
constexpr unsigned kFlushToZero = 0x8000;     // MXCSR FTZ
constexpr unsigned kDenormalsAreZero = 0x40;  // MXCSR DAZ
}  // namespace

ScopedFlushDenormals::ScopedFlushDenormals() noexcept : saved_(_mm_getcsr()) {
    _mm_setcsr(static_cast<unsigned>(saved_) | kFlushToZero | kDenormalsAreZero);
}
ScopedFlushDenormals::~ScopedFlushDenormals() {
    _mm_setcsr(static_cast<unsigned>(saved_));
}

#elif defined(__aarch64__)
namespace {
constexpr uint64_t kFlushToZero = uint64_t{1} << 24;  // FPCR FZ
}  // namespace

ScopedFlushDenormals::ScopedFlushDenormals() noexcept {
    uint64_t fpcr;
    asm volatile("mrs %0, fpcr" : "=r"(fpcr));
    saved_ = fpcr;
    asm volatile("msr fpcr, %0" : : "r"(fpcr | kFlushToZero));
}
ScopedFlushDenormals::~ScopedFlushDenormals() {
    asm volatile("msr fpcr, %0" : : "r"(saved_));
}

#else
ScopedFlushDenormals::ScopedFlushDenormals() noexcept = default;
ScopedFlushDenormals::~ScopedFlushDenormals() = default;
#endif

}  // namespace mixengine
