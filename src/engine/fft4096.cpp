#include "engine/fft4096.h"

#include <fftw3.h>

#include <new>

namespace mixengine {

std::mutex& fft_planner_mutex() {
    // Never destroyed: detached threads may still plan while the process exits.
    static auto* m = new std::mutex;
    return *m;
}

std::unique_ptr<Fft4096> Fft4096::create() noexcept {
    std::unique_ptr<Fft4096> fft(new (std::nothrow) Fft4096);
    if (!fft) return nullptr;
    // A transform given up is destroyed after the lock is released (locals end in reverse
    // order), since its destructor takes the lock again.
    {
        std::lock_guard<std::mutex> lock(fft_planner_mutex());
        auto* buf = fftwf_alloc_complex(kSize);
        if (buf == nullptr) return nullptr;
        fft->data_ = reinterpret_cast<std::complex<float>*>(buf);
        for (std::size_t i = 0; i < kSize; ++i) fft->data_[i] = {};
        // Estimated rather than measured: planning stays quick and never touches the buffer.
        fft->plan_ =
            fftwf_plan_dft_1d(static_cast<int>(kSize), buf, buf, FFTW_FORWARD, FFTW_ESTIMATE);
    }
    if (fft->plan_ == nullptr) return nullptr;
    return fft;
}

Fft4096::~Fft4096() {
    std::lock_guard<std::mutex> lock(fft_planner_mutex());
    if (plan_ != nullptr) fftwf_destroy_plan(static_cast<fftwf_plan>(plan_));
    fftwf_free(data_);
}

void Fft4096::execute() noexcept {
    fftwf_execute(static_cast<fftwf_plan>(plan_));
}

}  // namespace mixengine
