#include "control/command_reader.h"

#include <cstdint>
#include <exception>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "control/config_json.h"
#include "control/designators.h"
#include "control/json_fields.h"
#include "control/worker.h"
#include "engine/numeric.h"

namespace mixengine {

namespace {

using json = nlohmann::json;

// No command nests deeper than a handful of levels. Containers below this depth are dropped
// while parsing (they could only sit under unknown keys or where a scalar belongs, so the
// command means the same), which keeps a line of brackets from costing a tree node per byte.
constexpr int kMaxDepth = 64;

using json_fields::index_of;
using json_fields::integer_member;
using json_fields::member;
using json_fields::string_member;

// Channel numbers beyond 32 bits are out of every range either way; saturating keeps their sign
// instead of letting 2^32 wrap around to channel 0.
int32_t input_channel(const json& v) {
    constexpr int64_t lo = std::numeric_limits<int32_t>::min();
    constexpr int64_t hi = std::numeric_limits<int32_t>::max();
    const std::optional<JsonInteger> i = json_integer(v);
    if (!i) return -1;
    if (i->negative) {
        return i->magnitude > static_cast<uint64_t>(-(lo + 1)) + 1
                   ? static_cast<int32_t>(lo)
                   : static_cast<int32_t>(-static_cast<int64_t>(i->magnitude));
    }
    return i->magnitude > static_cast<uint64_t>(hi) ? static_cast<int32_t>(hi)
                                                    : static_cast<int32_t>(i->magnitude);
}

void send_update(const CommandReaderLinks& links, EngineUpdate update) {
    if (links.updates) links.updates->send(std::move(update));
}

// A settings command for console slot `target` (none: an index out of range). Its auto-EQ
// settings go to the analysis thread first.
StripCfg settings_of(const json& cmd, std::optional<std::size_t> target,
                     const CommandReaderLinks& links) {
    const json* s = member(cmd, "s");
    if (!s) return StripCfg{};
    DecodedSettings settings = decode_strip_settings(*s);
    if (settings.aeq && target) links.aeq.send(AutoEqRequest{*target, std::move(*settings.aeq)});
    return std::move(settings.cfg);
}

update::Patch patch_of(const json& cmd) {
    update::Patch patch;
    if (const json* ins = member(cmd, "ins"); ins && ins->is_array()) {
        patch.input_map.reserve(ins->size());
        for (const json& e : *ins) patch.input_map.push_back(input_channel(e));
    }
    if (const json* outs = member(cmd, "outs"); outs && outs->is_array()) {
        patch.routes.reserve(outs->size());
        for (const json& e : *outs) {
            patch.routes.push_back(e.is_string()
                                       ? parse_output_route(*e.get_ptr<const json::string_t*>())
                                       : parse_output_route("off"));
        }
    }
    return patch;
}

std::optional<SignalSource> source_of(const json& cmd) {
    const std::string* src = string_member(cmd, "src");
    return src ? parse_signal_source(*src) : std::nullopt;
}

void listen(const json& cmd, const CommandReaderLinks& links) {
    const std::optional<SignalSource> source = source_of(cmd);
    const auto port = integer_member(cmd, "port", 1, 65535);
    const bool wide = integer_member(cmd, "bits", 24, 24).has_value();
    if (links.state) {
        if (source && port) {
            links.state->set_listen(ListenSettings{true, static_cast<uint16_t>(*port),
                                                   static_cast<uint8_t>(wide ? 24 : 16)});
        } else {
            links.state->switch_listen_off();
        }
    }
    send_update(links, update::ListenSource{port ? source : std::nullopt});
}

void feedback_command(const std::string& t, const json& cmd, const CommandReaderLinks& links) {
    const std::string* name = string_member(cmd, "target");
    if (!name) return;
    const std::optional<std::size_t> output = parse_fba_target(*name);
    if (!output) return;
    const json* f_member = member(cmd, "f");
    const float f = f_member ? json_number_to_float(*f_member).value_or(0.0f) : 0.0f;
    if (t == "fba") {
        const json* cfg = member(cmd, "cfg");
        links.fba.send(fba::Configure{*output, cfg ? decode_fba_cfg_or_default(*cfg) : FbaCfg{}});
    } else if (t == "fba.cut") {
        links.fba.send(fba::Cut{*output, f});
    } else if (t == "fba.reset") {
        links.fba.send(fba::Reset{*output});
    } else {
        links.fba.send(fba::Howl{*output, f});
    }
}

// Paths that do not decode are left out; the others keep their order. No list: no room.
RoomCfg room_of(const json& cmd) {
    RoomCfg room;
    const json* paths = member(cmd, "paths");
    if (!paths || !paths->is_array()) return room;
    for (const json& p : *paths) {
        if (room.paths.size() == kRoomPaths) break;
        Decoded<RoomPathCfg> path = decode_room_path_cfg(p);
        if (path) room.paths.push_back(std::move(path).value());
    }
    return room;
}

// Whole seconds + 1, so that 0 stays free to mean "no request"; never wraps back to 0.
uint64_t seek_slot_of(const json& cmd) {
    const json* s = member(cmd, "s");
    if (!s || !s->is_number()) return 1;
    const double seconds = s->get<double>();
    const uint64_t whole = seconds < 0.0 ? 0 : saturating_cast<uint64_t>(seconds);
    return sat_add(whole, uint64_t{1});
}

CommandResult dispatch(const json& cmd, const CommandReaderLinks& links) {
    const std::size_t idx = index_of(cmd);

    const std::string* t_member = string_member(cmd, "t");
    if (!t_member) return CommandResult::Continue;
    const std::string& t = *t_member;
    ControlState* state = links.state.get();

    // The auto-EQ target of a strip or bus command; none when its index is out of range.
    const auto target = [idx](std::size_t count, std::size_t (*of)(std::size_t)) {
        return idx < count ? std::optional<std::size_t>(of(idx)) : std::nullopt;
    };
    if (t == "strip") {
        StripCfg cfg = settings_of(cmd, target(kStrips, auto_eq_strip), links);
        send_update(links, update::StripSettings{idx, std::move(cfg)});
    } else if (t == "bus") {
        StripCfg cfg = settings_of(cmd, target(kBuses, auto_eq_bus), links);
        send_update(links, update::BusSettings{idx, std::move(cfg)});
    } else if (t == "main") {
        send_update(links, update::MainSettings{settings_of(cmd, kAutoEqMain, links)});
    } else if (t == "mono") {
        send_update(links, update::MonoSettings{settings_of(cmd, kAutoEqMono, links)});
    } else if (t == "patch") {
        send_update(links, patch_of(cmd));
    } else if (t == "rta") {
        const std::string* src = string_member(cmd, "src");
        std::string name = src ? *src : std::string("off");
        const AnalyserSource source = parse_analyser_source(name);
        if (state) state->set_analyser_name(std::move(name));
        send_update(links, update::AnalyserSelect{source});
    } else if (t == "loud") {
        const std::optional<SignalSource> source = source_of(cmd);
        if (state) state->loud_reset.store(true);
        send_update(links, update::LoudnessSource{source});
    } else if (t == "loud.reset") {
        if (state) state->loud_reset.store(true);
    } else if (t == "listen") {
        listen(cmd, links);
    } else if (t == "fba" || t == "fba.cut" || t == "fba.reset" || t == "fba.howl") {
        feedback_command(t, cmd, links);
    } else if (t == "room") {
        if (links.room) send_update(links, update::RoomSettings{room_of(cmd)});
    } else if (t == "files.seek") {
        if (state) state->seek.store(seek_slot_of(cmd));
    } else if (t == "files.pause") {
        const json* on = member(cmd, "on");
        if (state) state->paused.store(on && on->is_boolean() ? on->get<bool>() : true);
    } else if (t == "quit") {
        return CommandResult::Quit;
    }
    return CommandResult::Continue;
}

}  // namespace

json parse_json_line(std::string_view line) {
    // The parser takes a NUL byte for the end of its input, so "{...}", NUL, "junk" would pass
    // as the object alone; and it skips a leading byte-order mark, which is not JSON either.
    if (line.find('\0') != std::string_view::npos || line.starts_with("\xEF\xBB\xBF"))
        return json(json::value_t::discarded);
    const json::parser_callback_t keep_shallow = [](int depth, json::parse_event_t, json&) {
        return depth <= kMaxDepth;
    };
    return json::parse(line.begin(), line.end(), keep_shallow, /*allow_exceptions=*/false);
}

CommandResult handle_command_line(std::string_view line, const CommandReaderLinks& links) {
    // The parser reports malformed text as a discarded value; what remains to be caught is
    // running out of memory, which costs this line and nothing else.
    try {
        const json cmd = parse_json_line(line);
        if (!cmd.is_object()) return CommandResult::Continue;
        return dispatch(cmd, links);
    } catch (const std::exception&) {
        return CommandResult::Continue;
    }
}

void run_command_reader(ByteSource source, CommandReaderLinks links) {
    {
        LineReader reader(std::move(source));
        std::string line;
        while (reader.next(line)) {
            if (handle_command_line(line, links) == CommandResult::Quit) break;
        }
    }
    if (links.state && links.state->stop) links.state->stop->store(true);
}

bool start_command_reader(CommandReaderLinks links) {
    auto stop = links.state ? links.state->stop : nullptr;
    return start_worker(WorkerSpec::required_by_mode(kNoReaderText, std::move(stop)),
                        [links = std::move(links)]() mutable {
                            run_command_reader(fd_byte_source(0), std::move(links));
                        });
}

}  // namespace mixengine
