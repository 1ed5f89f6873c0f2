#include "control/designators.h"

#include <array>
#include <limits>

#include "control/integers.h"

namespace mixengine {

namespace {

// The first three parts of a designator and how many parts it has in all; no grammar looks
// further than the third.
struct Parts {
    std::array<std::string_view, 3> first{};
    std::size_t count = 0;
};

Parts split(std::string_view text) noexcept {
    Parts p;
    for (;;) {
        const std::size_t dot = text.find('.');
        if (p.count < p.first.size()) p.first[p.count] = text.substr(0, dot);
        ++p.count;
        if (dot == std::string_view::npos) return p;
        text.remove_prefix(dot + 1);
    }
}

// One-based index N with 1 <= N <= count, returned zero-based.
std::optional<uint32_t> one_based(std::string_view text, uint32_t count) noexcept {
    const auto n = parse_unsigned<uint64_t>(text);
    if (!n || *n < 1 || *n > count) return std::nullopt;
    return static_cast<uint32_t>(*n - 1);
}

std::optional<uint32_t> strip_index(std::string_view text) noexcept {
    return one_based(text, static_cast<uint32_t>(kStrips));
}

std::optional<uint32_t> bus_index(std::string_view text) noexcept {
    return one_based(text, static_cast<uint32_t>(kBuses));
}

}  // namespace

std::optional<SignalSource> parse_signal_source(std::string_view text) noexcept {
    const Parts p = split(text);
    using Kind = SignalSource::Kind;
    if (p.count == 1 && p.first[0] == "main") return SignalSource{Kind::Main, 0, true};
    if (p.count == 1 && p.first[0] == "mono") return SignalSource{Kind::Mono, 0, true};
    if (p.count == 2 && p.first[0] == "bus") {
        if (const auto b = bus_index(p.first[1])) return SignalSource{Kind::Bus, *b, true};
    }
    if (p.count >= 2 && p.first[0] == "in") {
        if (const auto s = strip_index(p.first[1])) {
            const bool pre = p.count >= 3 && p.first[2] == "pre";
            return SignalSource{Kind::Strip, *s, !pre};
        }
    }
    return std::nullopt;
}

AnalyserSource parse_analyser_source(std::string_view text) noexcept {
    const Parts p = split(text);
    using Kind = AnalyserSource::Kind;
    if (p.count == 1 && p.first[0] == "main") return {Kind::Main, 0, false};
    if (p.count == 1 && p.first[0] == "mono") return {Kind::Mono, 0, false};
    if (p.count >= 2 && p.first[0] == "in") {
        if (const auto s = strip_index(p.first[1])) {
            const bool after_compressor = p.count >= 3 && p.first[2] == "post";
            return {Kind::Strip, *s, after_compressor};
        }
    }
    if (p.count == 2 && p.first[0] == "bus") {
        if (const auto b = bus_index(p.first[1])) return {Kind::Bus, *b, false};
    }
    return {};
}

OutputRoute parse_output_route(std::string_view text) noexcept {
    const Parts p = split(text);
    using Kind = OutputRoute::Kind;
    if (p.count == 1 && p.first[0] == "mono") return {Kind::Mono, 0, false};
    if (p.count == 2 && p.first[0] == "main") {
        if (p.first[1] == "l") return {Kind::MainL, 0, false};
        if (p.first[1] == "r") return {Kind::MainR, 0, false};
        return {};
    }
    if (p.count == 2 && p.first[0] == "bus") {
        if (const auto b = bus_index(p.first[1])) return {Kind::Bus, *b, false};
    }
    if (p.count == 3 && p.first[0] == "in") {
        if (const auto s = strip_index(p.first[1])) {
            return {Kind::Strip, *s, p.first[2] == "post"};
        }
    }
    return {};
}

std::optional<std::size_t> parse_fba_target(std::string_view text) noexcept {
    const Parts p = split(text);
    if (p.count == 1 && p.first[0] == "main") return kWatchedMain;
    if (p.count == 1 && p.first[0] == "mono") return kWatchedMono;
    if (p.count == 2 && p.first[0] == "bus") {
        if (const auto b = bus_index(p.first[1])) return watched_bus(*b);
    }
    return std::nullopt;
}

}  // namespace mixengine
