// A forward, unnormalised, in-place complex FFT of 4096 single-precision points. The plan is made
// once per owner under a process-wide lock, because the FFT library's planner is not thread-safe;
// executing the plan needs no lock.
#pragma once

#include <complex>
#include <cstddef>
#include <mutex>

namespace mixengine {

// The lock every FFT plan in the process is created and destroyed under.
std::mutex& fft_planner_mutex();

class Fft4096 {
  public:
    static constexpr std::size_t kSize = 4096;

    Fft4096();
    ~Fft4096();
    Fft4096(const Fft4096&) = delete;
    Fft4096& operator=(const Fft4096&) = delete;

    // The buffer the transform reads and overwrites.
    std::complex<float>* data() noexcept { return data_; }

    // Transforms data() in place.
    void execute() noexcept;

  private:
    std::complex<float>* data_ = nullptr;
    void* plan_ = nullptr;
};

}  // namespace mixengine
