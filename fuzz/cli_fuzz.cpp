// The command line: the input's bytes, split at NUL bytes as argv would be, become the argument
// list. Mode selection must not fail, the simulation options must land in their ranges, and
// every unsigned number that parses must read back as the same text (sign and leading zeros
// aside) while --from stays a number that is neither negative nor NaN.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "control/integers.h"
#include "entry/cli.h"
#include "entry/modes.h"

namespace mixengine {
namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

template <typename T>
void check_unsigned(std::string_view text) {
    const std::optional<T> value = parse_unsigned<T>(text);
    if (!value) return;
    std::string_view digits = text;
    if (digits.starts_with('+')) digits.remove_prefix(1);
    while (digits.size() > 1 && digits.front() == '0') digits.remove_prefix(1);
    require(std::to_string(*value) == digits);
}

}  // namespace
}  // namespace mixengine

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using namespace mixengine;
    std::vector<std::string> list{"mixengine"};
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    for (std::size_t start = 0; start <= bytes.size();) {
        const std::size_t end = std::min(bytes.find('\0', start), bytes.size());
        list.emplace_back(bytes.substr(start, end - start));
        start = end + 1;
    }
    for (const std::string& a : list) {
        check_unsigned<uint16_t>(a);
        check_unsigned<uint32_t>(a);
        check_unsigned<uint64_t>(a);
        const double from = parse_from_seconds(a);
        require(!std::isnan(from) && from >= 0.0);
    }
    const Arguments args(list);
    const Mode mode = select_mode(args);
    if (mode == Mode::Record) require(args.value("--record").has_value());
    if (mode == Mode::Play) require(args.value("--play").has_value());
    const SimOptions sim = sim_options(args);
    require(sim.inputs >= 1 && sim.inputs <= 32);
    require(sim.outputs >= 1 && sim.outputs <= 64);
    require(sim.rate == 48000 || sim.rate == 96000);
    return 0;
}
