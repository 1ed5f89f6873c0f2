#include "live_streams.h"

#include "control/telemetry.h"

namespace mixengine {

void LiveStreams::release() {
    if (output) output->release();
    if (input) input->release();
    output.reset();
    input.reset();
}

void LiveStreams::report_if_stopped() {
    if (input) input->report_if_stopped();
    if (output) output->report_if_stopped();
}

void report_stream_error(const std::string& text) {
    print_warn("Audio: " + text);
}

Result<LiveStreams> open_live_streams(AudioHost& host, LiveStreamsRequest request) {
    LiveStreams streams;

    const StreamConfig in_config{request.input_config.channels, request.rate,
                                 request.buffer_frames};
    auto input = std::make_shared<LiveInput>(std::move(request.input_ring), request.xruns,
                                             request.input_config.channels);
    auto in_stream = host.build_input_stream(
        request.input_device, in_config, stream_format(request.input_config.format),
        [input](InputBlock block) { (*input)(block); }, report_stream_error);
    if (!in_stream) return fail("Cannot open the input: " + in_stream.error());
    streams.input = std::move(*in_stream);

    LiveOutputParts parts;
    parts.engine = request.build_engine();
    parts.updates = std::move(request.updates);
    parts.input = std::move(request.input_ring_reader);
    parts.analyser = std::move(request.analyser);
    parts.meters = std::move(request.meters);
    parts.xruns = std::move(request.xruns);
    parts.in_channels = request.input_config.channels;
    parts.out_channels = request.output_config.channels;
    auto output = std::make_shared<LiveOutput>(std::move(parts));

    const StreamConfig out_config{request.output_config.channels, request.rate,
                                  request.buffer_frames};
    auto out_stream = host.build_output_stream(
        request.output_device, out_config, stream_format(request.output_config.format),
        [output](OutputBlock block) { (*output)(block); }, report_stream_error);
    output.reset();  // the stream holds the only reference now: releasing it ends the engine
    if (!out_stream) {
        streams.release();
        return fail("Cannot open the output: " + out_stream.error());
    }
    streams.output = std::move(*out_stream);

    for (auto* stream : {streams.input.get(), streams.output.get()}) {
        const auto started = stream->start();
        if (!started) {
            streams.release();
            return fail(started.error());
        }
    }
    return streams;
}

}  // namespace mixengine
