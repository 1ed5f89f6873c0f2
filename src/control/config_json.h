// Decoding of the configuration records from JSON values.
//
// A record arrives either as an object (listed keys are decoded, absent keys keep their defaults,
// unknown keys are skipped at every level) or as an array holding the fields in declaration order
// (missing trailing elements keep their defaults; more elements than fields is an error). Field
// types are checked strictly so that a typo in the front end shows up as a reset rather than a
// silently reinterpreted value: integer fields take only JSON integers in range (12.0, 1e1 and -1
// are all refused), float fields take any number, lists refuse null, optional stages take null as
// "switched off". Errors are returned, never thrown.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>

#include "control/result.h"
#include "engine/config.h"
#include "engine/room.h"

namespace mixengine {

enum class DecodeErrorKind { InvalidType, InvalidValue, InvalidLength };

struct DecodeError {
    DecodeErrorKind kind = DecodeErrorKind::InvalidType;
    std::string message;  // "invalid type: ...", for logs and tests only; never shown to the user
};

// The record, or why it could not be decoded.
template <typename T>
using Decoded = Result<T, DecodeError>;

Decoded<Hpf> decode_hpf(const nlohmann::json& v);
Decoded<GateCfg> decode_gate_cfg(const nlohmann::json& v);
Decoded<DynCfg> decode_dyn_cfg(const nlohmann::json& v);
Decoded<Band> decode_band(const nlohmann::json& v);
Decoded<SendCfg> decode_send_cfg(const nlohmann::json& v);
Decoded<AutoEqCfg> decode_auto_eq_cfg(const nlohmann::json& v);
Decoded<BleedCfg> decode_bleed_cfg(const nlohmann::json& v);
Decoded<AmixCfg> decode_amix_cfg(const nlohmann::json& v);
Decoded<StripCfg> decode_strip_cfg(const nlohmann::json& v);
Decoded<FbaCfg> decode_fba_cfg(const nlohmann::json& v);
// One acoustic path of the practice room; "from" is an output designator ("main.l", "bus.1").
Decoded<RoomPathCfg> decode_room_path_cfg(const nlohmann::json& v);

// A settings command always takes effect: a record that does not decode resets to defaults.
StripCfg decode_strip_cfg_or_default(const nlohmann::json& v);

// A settings record (or its defaults) and its "aeq" member taken on its own, both from one
// decoding: the auto-EQ analysis is told about an object's "aeq" whenever that member decodes,
// even when the rest of the record does not.
struct DecodedSettings {
    StripCfg cfg;
    std::optional<AutoEqCfg> aeq;
};
DecodedSettings decode_strip_settings(const nlohmann::json& s);
FbaCfg decode_fba_cfg_or_default(const nlohmann::json& v);

// Any JSON number as the nearest float: integers are rounded once from their exact value (never
// through double, which would round twice for large 64-bit values). Not a number: nullopt.
std::optional<float> json_number_to_float(const nlohmann::json& v);

}  // namespace mixengine
