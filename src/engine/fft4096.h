// A forward, unnormalised, in-place complex FFT of 4096 single-precision points. The plan is made
// once per owner under a process-wide lock, because the FFT library's planner is not thread-safe;
// executing the plan needs no lock.
#pragma once

#include <complex>
#include <cstddef>
#include <memory>
#include <mutex>

namespace mixengine {

// The lock every FFT plan in the process is created and destroyed under.
std::mutex& fft_planner_mutex();

class Fft4096 {
  public:
    static constexpr std::size_t kSize = 4096;

    // A planned transform over a zeroed buffer, or nothing when the buffer or the plan could not
    // be made (the FFT library reports both only as a shortage of memory).
    [[nodiscard]] static std::unique_ptr<Fft4096> create() noexcept;

    ~Fft4096();
    Fft4096(const Fft4096&) = delete;
    Fft4096& operator=(const Fft4096&) = delete;

    // The buffer the transform reads and overwrites.
    std::complex<float>* data() noexcept { return data_; }

    // Transforms data() in place.
    void execute() noexcept;

  private:
    Fft4096() = default;

    std::complex<float>* data_ = nullptr;
    void* plan_ = nullptr;
};

}  // namespace mixengine
