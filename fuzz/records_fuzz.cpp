// The record decoders on any JSON value: every decoder, with and without its fallback, on the
// parsed value and on each of its members and elements, so that a decoder meets every shape at
// every level. The forms with a fallback must agree with the strict ones: the decoded record
// when it decodes, the default record otherwise. Nothing may throw.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "control/command_reader.h"
#include "control/config_json.h"

namespace mixengine {
namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

void decode_all(const nlohmann::json& v) {
    (void)decode_hpf(v);
    (void)decode_gate_cfg(v);
    (void)decode_dyn_cfg(v);
    (void)decode_band(v);
    (void)decode_send_cfg(v);
    (void)decode_auto_eq_cfg(v);
    (void)decode_bleed_cfg(v);
    (void)decode_amix_cfg(v);
    (void)json_number_to_float(v);
    const Decoded<StripCfg> strip = decode_strip_cfg(v);
    const StripCfg or_default = decode_strip_cfg_or_default(v);
    require(strip ? or_default == strip.value() : or_default == StripCfg{});
    const Decoded<FbaCfg> fba = decode_fba_cfg(v);
    const FbaCfg fba_or_default = decode_fba_cfg_or_default(v);
    require(fba ? fba_or_default == fba.value() : fba_or_default == FbaCfg{});
}

}  // namespace
}  // namespace mixengine

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using namespace mixengine;
    const nlohmann::json v =
        parse_json_line(std::string_view(reinterpret_cast<const char*>(data), size));
    if (v.is_discarded()) return 0;
    decode_all(v);
    if (!v.is_structured()) return 0;
    for (const auto& member : v) {
        decode_all(member);
        if (member.is_structured())
            for (const auto& inner : member) decode_all(inner);
    }
    return 0;
}
