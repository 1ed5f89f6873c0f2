// Small pieces of state that the command reader writes and other threads read. One ControlState
// is created per run (live or simulation) and shared by reference count.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace mixengine {

struct ListenSettings {
    bool on = false;
    uint16_t port = 0;
    uint8_t bits = 0;  // 24 selects 24-bit samples, anything else 16-bit
};

struct ControlState {
    explicit ControlState(std::shared_ptr<std::atomic<bool>> stop_flag)
        : stop(std::move(stop_flag)) {}

    // Set on "quit", end of input, read error or invalid UTF-8; every thread watches it.
    std::shared_ptr<std::atomic<bool>> stop;

    // Set once the mode's ready line is out. The meter lines wait for it: a front end reads the
    // ready line (and any warning about the start) first, however slowly the mode starts.
    std::atomic<bool> ready{false};

    // Loudness reset request: set by "loud" and "loud.reset", exchanged for false by its reader.
    std::atomic<bool> loud_reset{false};

    // Practice-player seek: 0 = no request, otherwise whole seconds + 1 (saturating). The player
    // exchanges it for 0.
    std::atomic<uint64_t> seek{0};

    // Practice-player pause.
    std::atomic<bool> paused{false};

    // Analyser source name as the front end last gave it ("off" initially). Hold the mutex only to
    // copy in or out.
    std::string analyser_name_copy() const {
        std::lock_guard<std::mutex> lock(analyser_mutex_);
        return analyser_name_;
    }
    void set_analyser_name(std::string name) {
        std::lock_guard<std::mutex> lock(analyser_mutex_);
        analyser_name_ = std::move(name);
    }

    ListenSettings listen_copy() const {
        std::lock_guard<std::mutex> lock(listen_mutex_);
        return listen_;
    }
    void set_listen(const ListenSettings& s) {
        std::lock_guard<std::mutex> lock(listen_mutex_);
        listen_ = s;
    }
    // Stops the stream but keeps the last port and width.
    void switch_listen_off() {
        std::lock_guard<std::mutex> lock(listen_mutex_);
        listen_.on = false;
    }

private:
    mutable std::mutex analyser_mutex_;
    std::string analyser_name_ = "off";
    mutable std::mutex listen_mutex_;
    ListenSettings listen_;
};

}  // namespace mixengine
