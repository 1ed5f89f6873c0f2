// Opening the live engine's two streams around the console: the input stream feeding the input
// ring, then the engine, then the output stream that owns it, then both started. Stream errors
// reported while running become "Audio: ..." warnings and do not stop anything.
#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "audio_host.h"
#include "live_callbacks.h"

namespace mixengine {

struct LiveStreamsRequest {
    DeviceHandle input_device;
    DeviceHandle output_device;
    DefaultConfig input_config;   // channels and format of the input stream
    DefaultConfig output_config;  // channels and format of the output stream
    uint32_t rate = 0;            // both streams
    std::optional<uint32_t> buffer_frames;

    RingProducer<float> input_ring;  // moves into the input callback
    std::shared_ptr<XrunCounter> xruns;
    // Called between building the input and the output stream.
    std::function<std::unique_ptr<MixEngine>()> build_engine;
    // Everything else the output callback owns, besides the engine.
    RingConsumer<EngineUpdate> updates;
    RingConsumer<float> input_ring_reader;
    RingProducer<float> analyser;
    std::shared_ptr<Meters> meters;
};

struct LiveStreams {
    std::unique_ptr<AudioStream> input;
    std::unique_ptr<AudioStream> output;

    // Stops both; the engine goes with the output stream.
    void release();
    // See AudioStream::report_if_stopped.
    void report_if_stopped();
};

// Fails with "Cannot open the input: ...", "Cannot open the output: ..." (the input stream is
// then released) or the host's text for a failed start.
Result<LiveStreams> open_live_streams(AudioHost& host, LiveStreamsRequest request);

// The error callback of the live streams.
void report_stream_error(const std::string& text);

}  // namespace mixengine
