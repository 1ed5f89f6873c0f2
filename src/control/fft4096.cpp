#include "control/fft4096.h"

#include <fftw3.h>

#include <new>

namespace mixengine {

std::mutex& fft_planner_mutex() {
    // Never destroyed: detached threads may still plan while the process exits.
    static auto* m = new std::mutex;
    return *m;
}

Fft4096::Fft4096() {
    std::lock_guard<std::mutex> lock(fft_planner_mutex());
    data_ = reinterpret_cast<std::complex<float>*>(fftwf_alloc_complex(kSize));
    if (data_ == nullptr) throw std::bad_alloc();
    for (std::size_t i = 0; i < kSize; ++i) data_[i] = {};
    // Estimated rather than measured: planning stays quick and never touches the buffer.
    auto* buf = reinterpret_cast<fftwf_complex*>(data_);
    plan_ = fftwf_plan_dft_1d(static_cast<int>(kSize), buf, buf, FFTW_FORWARD, FFTW_ESTIMATE);
    if (plan_ == nullptr) {
        fftwf_free(data_);
        throw std::bad_alloc();
    }
}

Fft4096::~Fft4096() {
    std::lock_guard<std::mutex> lock(fft_planner_mutex());
    fftwf_destroy_plan(static_cast<fftwf_plan>(plan_));
    fftwf_free(data_);
}

void Fft4096::execute() noexcept {
    fftwf_execute(static_cast<fftwf_plan>(plan_));
}

}  // namespace mixengine
