// A practice loop wired to a real engine, rings and control state, on a clock the test drives.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "control/shared_state.h"
#include "control/telemetry.h"
#include "engine/meters.h"
#include "engine/mix_engine.h"
#include "engine/spsc_ring.h"
#include "multitrack/practice_loop.h"

namespace mixengine::testing {

// Time moves only when the loop sleeps or the test advances it.
class FakeClock final : public PracticeClock {
  public:
    time_point now() noexcept override { return now_; }
    void sleep_until(time_point deadline) noexcept override {
        ++sleeps;
        if (deadline > now_) now_ = deadline;
    }
    void advance(std::chrono::nanoseconds d) { now_ += d; }
    std::chrono::nanoseconds elapsed() const { return now_ - time_point{}; }

    int sleeps = 0;

  private:
    time_point now_{};
};

struct PracticeRig {
    explicit PracticeRig(std::size_t inputs, std::optional<std::string> files = std::nullopt,
                         std::size_t outputs = 2, float rate = 48000.0f)
        : engine(rate), meters(outputs) {
        auto [up, uc] = make_spsc_ring<EngineUpdate>(16);
        update_producer = std::move(up);
        update_consumer = std::move(uc);
        auto [ap, ac] = make_spsc_ring<float>(48000);
        analyser_producer = std::move(ap);
        analyser_consumer = std::move(ac);
        capture_output_for_tests(&output);
        loop.emplace(PracticeLinks{inputs, outputs, &engine, &update_consumer, &meters,
                                   &analyser_producer, &control, std::move(files)},
                     clock);
    }
    ~PracticeRig() { capture_output_for_tests(nullptr); }

    // Output lines whose text contains `needle`.
    int count_lines(const std::string& needle) const {
        int n = 0;
        std::size_t at = 0;
        while ((at = output.find(needle, at)) != std::string::npos) {
            ++n;
            at += needle.size();
        }
        return n;
    }

    FakeClock clock;
    MixEngine engine;
    Meters meters;
    RingProducer<EngineUpdate> update_producer;
    RingConsumer<EngineUpdate> update_consumer;
    RingProducer<float> analyser_producer;
    RingConsumer<float> analyser_consumer;
    std::shared_ptr<std::atomic<bool>> stop = std::make_shared<std::atomic<bool>>(false);
    ControlState control{stop};
    std::string output;
    std::optional<PracticeLoop> loop;
};

}  // namespace mixengine::testing
