#include "control/config_json.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <string_view>
#include <vector>

#include "control/designators.h"
#include "control/integers.h"

namespace mixengine {

namespace {

using json = nlohmann::json;

const char* type_word(const json& v) {
    switch (v.type()) {
        case json::value_t::null:
            return "null";
        case json::value_t::boolean:
            return "boolean";
        case json::value_t::number_integer:
            return "integer";
        case json::value_t::number_unsigned:
            return "integer";
        case json::value_t::number_float:
            return "floating point number";
        case json::value_t::string:
            return "string";
        case json::value_t::array:
            return "sequence";
        case json::value_t::object:
            return "map";
        default:
            return "value";
    }
}

Failure<DecodeError> invalid_type(std::string_view expected, const json& got) {
    return fail(DecodeError{
        DecodeErrorKind::InvalidType,
        "invalid type: " + std::string(type_word(got)) + ", expected " + std::string(expected)});
}

Failure<DecodeError> invalid_value(std::string_view expected) {
    return fail(
        DecodeError{DecodeErrorKind::InvalidValue,
                    "invalid value: integer out of range, expected " + std::string(expected)});
}

// ---- one helper per field type ----

Decoded<float> as_f32(const json& v) {
    if (auto f = json_number_to_float(v)) return *f;
    return invalid_type("f32", v);
}

Decoded<double> as_f64(const json& v) {
    switch (v.type()) {
        case json::value_t::number_unsigned:
            return static_cast<double>(*v.get_ptr<const json::number_unsigned_t*>());
        case json::value_t::number_integer:
            return static_cast<double>(*v.get_ptr<const json::number_integer_t*>());
        case json::value_t::number_float:
            return *v.get_ptr<const json::number_float_t*>();
        default:
            return invalid_type("f64", v);
    }
}

template <typename T>
constexpr const char* uint_name() {
    if constexpr (sizeof(T) == 1) return "u8";
    if constexpr (sizeof(T) == 4) return "u32";
    return "u64";
}

// Only a JSON integer: "12.0" and "1e1" are floats to the parser and are refused as such.
template <typename T>
Decoded<T> as_uint(const json& v) {
    if (!json_integer(v)) return invalid_type(uint_name<T>(), v);
    const auto u = json_integer_in(v, 0, std::numeric_limits<T>::max());
    if (!u) return invalid_value(uint_name<T>());
    return static_cast<T>(*u);
}

Decoded<bool> as_bool(const json& v) {
    if (!v.is_boolean()) return invalid_type("a boolean", v);
    return *v.get_ptr<const json::boolean_t*>();
}

Decoded<std::string> as_string(const json& v) {
    if (!v.is_string()) return invalid_type("a string", v);
    return *v.get_ptr<const json::string_t*>();
}

template <typename T, Decoded<T> (*Elem)(const json&)>
Decoded<std::vector<T>> as_list(const json& v) {
    if (!v.is_array()) return invalid_type("a sequence", v);
    std::vector<T> out;
    out.reserve(v.size());
    for (const json& e : v) {
        Decoded<T> d = Elem(e);
        if (!d) return fail(d.error());
        out.push_back(std::move(d).value());
    }
    return out;
}

template <typename T, Decoded<T> (*Record)(const json&)>
Decoded<std::optional<T>> as_optional(const json& v) {
    if (v.is_null()) return std::optional<T>();
    Decoded<T> d = Record(v);
    if (!d) return fail(d.error());
    return std::optional<T>(std::move(d).value());
}

// Walks the fields of one record in declaration order, taking each from the object by key or
// from the array by position. After the first error every further field is left alone.
class Fields {
  public:
    explicit Fields(const json& v) : v_(v), by_position_(v.is_array()) {}

    template <typename T, typename Decode>
    void field(const char* key, T& out, Decode decode) {
        const std::size_t position = count_++;
        if (error_) return;
        const json* src = nullptr;
        if (by_position_) {
            if (position < v_.size()) src = &v_[position];
        } else {
            const auto it = v_.find(key);
            if (it != v_.end()) src = &*it;
        }
        if (!src) return;
        auto d = decode(*src);
        if (!d) {
            error_ = d.error();
            error_->message = std::string(key) + ": " + error_->message;
            return;
        }
        out = std::move(d).value();
    }

    std::size_t count() const noexcept { return count_; }
    const std::optional<DecodeError>& error() const noexcept { return error_; }

  private:
    const json& v_;
    bool by_position_;
    std::size_t count_ = 0;
    std::optional<DecodeError> error_;
};

template <typename T, typename Visit>
Decoded<T> decode_record(const json& v, const char* name, Visit visit) {
    if (!v.is_object() && !v.is_array()) return invalid_type(std::string("struct ") + name, v);
    T record;
    Fields fields(v);
    visit(fields, record);
    if (fields.error()) return fail(*fields.error());
    if (v.is_array() && v.size() > fields.count()) {
        return fail(DecodeError{DecodeErrorKind::InvalidLength,
                                "invalid length " + std::to_string(v.size()) +
                                    ", expected struct " + name + " with " +
                                    std::to_string(fields.count()) + " elements"});
    }
    return record;
}

}  // namespace

std::optional<float> json_number_to_float(const nlohmann::json& v) {
    // Integer to float conversions round to nearest from the exact integer; going through
    // double first could round twice (2^60 + 2^36 + 1 would land on 2^60).
    switch (v.type()) {
        case json::value_t::number_unsigned:
            return static_cast<float>(*v.get_ptr<const json::number_unsigned_t*>());
        case json::value_t::number_integer:
            return static_cast<float>(*v.get_ptr<const json::number_integer_t*>());
        case json::value_t::number_float: {
            // Beyond float range a plain cast is undefined; round to infinity explicitly, from
            // the point where round-to-nearest would leave the largest finite float.
            const double d = *v.get_ptr<const json::number_float_t*>();
            constexpr double kRoundsToInfinity = 0x1.ffffffp+127;
            if (std::fabs(d) >= kRoundsToInfinity)
                return d > 0 ? std::numeric_limits<float>::infinity()
                             : -std::numeric_limits<float>::infinity();
            return static_cast<float>(d);
        }
        default:
            return std::nullopt;
    }
}

Decoded<Hpf> decode_hpf(const json& v) {
    return decode_record<Hpf>(v, "Hpf", [](Fields& f, Hpf& r) {
        f.field("f", r.f, as_f64);
        f.field("slope", r.slope, as_uint<uint32_t>);
    });
}

Decoded<GateCfg> decode_gate_cfg(const json& v) {
    return decode_record<GateCfg>(v, "GateCfg", [](Fields& f, GateCfg& r) {
        f.field("mode", r.mode, as_string);
        f.field("thr", r.thr, as_f32);
        f.field("range", r.range, as_f32);
        f.field("attack", r.attack, as_f32);
        f.field("hold", r.hold, as_f32);
        f.field("release", r.release, as_f32);
    });
}

Decoded<DynCfg> decode_dyn_cfg(const json& v) {
    return decode_record<DynCfg>(v, "DynCfg", [](Fields& f, DynCfg& r) {
        f.field("exp", r.exp, as_bool);
        f.field("rms", r.rms, as_bool);
        f.field("thr", r.thr, as_f32);
        f.field("ratio", r.ratio, as_f32);
        f.field("knee", r.knee, as_f32);
        f.field("mgain", r.mgain, as_f32);
        f.field("attack", r.attack, as_f32);
        f.field("hold", r.hold, as_f32);
        f.field("release", r.release, as_f32);
        f.field("mix", r.mix, as_f32);
    });
}

Decoded<Band> decode_band(const json& v) {
    return decode_record<Band>(v, "Band", [](Fields& f, Band& r) {
        f.field("type", r.type, as_string);
        f.field("f", r.f, as_f64);
        f.field("g", r.g, as_f64);
        f.field("q", r.q, as_f64);
    });
}

Decoded<SendCfg> decode_send_cfg(const json& v) {
    return decode_record<SendCfg>(v, "SendCfg", [](Fields& f, SendCfg& r) {
        f.field("lin", r.lin, as_f32);
        f.field("tap", r.tap, as_uint<uint8_t>);
    });
}

Decoded<AutoEqCfg> decode_auto_eq_cfg(const json& v) {
    return decode_record<AutoEqCfg>(v, "AutoEqCfg", [](Fields& f, AutoEqCfg& r) {
        f.field("on", r.on, as_bool);
        f.field("target", r.target, as_list<float, as_f32>);
        f.field("curve", r.curve, as_string);
        f.field("amount", r.amount, as_f32);
        f.field("max_cut", r.max_cut, as_f32);
        f.field("max_boost", r.max_boost, as_f32);
        f.field("speed_s", r.speed_s, as_f32);
        f.field("lo", r.lo, as_f32);
        f.field("hi", r.hi, as_f32);
    });
}

Decoded<BleedCfg> decode_bleed_cfg(const json& v) {
    return decode_record<BleedCfg>(v, "BleedCfg", [](Fields& f, BleedCfg& r) {
        f.field("on", r.on, as_bool);
        f.field("mode", r.mode, as_string);
        f.field("ref", r.ref, as_uint<uint64_t>);
        f.field("amount", r.amount, as_f32);
        f.field("lo", r.lo, as_f32);
        f.field("hi", r.hi, as_f32);
        f.field("thr", r.thr, as_f32);
    });
}

Decoded<AmixCfg> decode_amix_cfg(const json& v) {
    return decode_record<AmixCfg>(v, "AmixCfg", [](Fields& f, AmixCfg& r) {
        f.field("group", r.group, as_uint<uint8_t>);
        f.field("weight_db", r.weight_db, as_f32);
    });
}

namespace {

// `aeq`, when given, is the record's "aeq" member already decoded on its own.
Decoded<StripCfg> decode_strip_record(const json& v, const Decoded<AutoEqCfg>* aeq) {
    const auto aeq_field = [aeq](const json& m) -> Decoded<std::optional<AutoEqCfg>> {
        if (!aeq) return as_optional<AutoEqCfg, decode_auto_eq_cfg>(m);
        if (!*aeq) return fail(aeq->error());
        return std::optional<AutoEqCfg>(aeq->value());
    };
    return decode_record<StripCfg>(v, "StripCfg", [&aeq_field](Fields& f, StripCfg& r) {
        f.field("gain_db", r.gain_db, as_f32);
        f.field("invert", r.invert, as_bool);
        f.field("delay_ms", r.delay_ms, as_f32);
        f.field("hpf", r.hpf, as_optional<Hpf, decode_hpf>);
        f.field("gate", r.gate, as_optional<GateCfg, decode_gate_cfg>);
        f.field("eq", r.eq, as_list<Band, decode_band>);
        f.field("dyn", r.dyn, as_optional<DynCfg, decode_dyn_cfg>);
        f.field("fader", r.fader, as_f32);
        f.field("pan", r.pan, as_f32);
        f.field("lr", r.lr, as_bool);
        f.field("mono", r.mono, as_f32);
        f.field("sends", r.sends, as_list<SendCfg, decode_send_cfg>);
        f.field("peq32", r.peq32, as_list<Band, decode_band>);
        f.field("geq", r.geq, as_list<float, as_f32>);
        f.field("aeq", r.aeq, aeq_field);
        f.field("bleed", r.bleed, as_optional<BleedCfg, decode_bleed_cfg>);
        f.field("amix", r.amix, as_optional<AmixCfg, decode_amix_cfg>);
    });
}

}  // namespace

Decoded<StripCfg> decode_strip_cfg(const json& v) {
    return decode_strip_record(v, nullptr);
}

DecodedSettings decode_strip_settings(const json& s) {
    const json* member = nullptr;
    if (s.is_object()) {
        const auto it = s.find("aeq");
        if (it != s.end() && !it->is_null()) member = &*it;
    }
    if (!member) return {decode_strip_cfg_or_default(s), std::nullopt};
    const Decoded<AutoEqCfg> aeq = decode_auto_eq_cfg(*member);
    Decoded<StripCfg> cfg = decode_strip_record(s, &aeq);
    return {cfg ? std::move(cfg).value() : StripCfg{},
            aeq ? std::optional<AutoEqCfg>(aeq.value()) : std::nullopt};
}

Decoded<FbaCfg> decode_fba_cfg(const json& v) {
    return decode_record<FbaCfg>(v, "FbaCfg", [](Fields& f, FbaCfg& r) {
        f.field("on", r.on, as_bool);
        f.field("mode", r.mode, as_string);
        f.field("sensitivity", r.sensitivity, as_f32);
        f.field("persist", r.persist, as_uint<uint32_t>);
        f.field("first_cut", r.first_cut, as_f32);
        f.field("step", r.step, as_f32);
        f.field("max_cut", r.max_cut, as_f32);
        f.field("max_notches", r.max_notches, as_uint<uint64_t>);
        f.field("hold_s", r.hold_s, as_f32);
        f.field("content", r.content, as_string);
    });
}

Decoded<RoomPathCfg> decode_room_path_cfg(const json& v) {
    const auto as_route = [](const json& e) -> Decoded<OutputRoute> {
        if (!e.is_string()) return invalid_type("a string", e);
        return parse_output_route(*e.get_ptr<const json::string_t*>());
    };
    const auto as_channel = [](const json& e) -> Decoded<int32_t> {
        Decoded<uint32_t> u = as_uint<uint32_t>(e);
        if (!u) return fail(u.error());
        if (u.value() > uint32_t(std::numeric_limits<int32_t>::max())) return invalid_value("i32");
        return static_cast<int32_t>(u.value());
    };
    return decode_record<RoomPathCfg>(v, "RoomPathCfg", [&](Fields& f, RoomPathCfg& r) {
        f.field("from", r.from, as_route);
        f.field("ch", r.ch, as_channel);
        f.field("m", r.m, as_f32);
        f.field("db", r.db, as_f32);
        f.field("hp", r.hp, as_f32);
        f.field("lp", r.lp, as_f32);
        f.field("refl", r.refl, as_uint<uint32_t>);
        f.field("absorb_hz", r.absorb_hz, as_f32);
        f.field("prox_db", r.prox_db, as_f32);
        f.field("seed", r.seed, as_uint<uint32_t>);
    });
}

StripCfg decode_strip_cfg_or_default(const json& v) {
    Decoded<StripCfg> d = decode_strip_cfg(v);
    return d ? std::move(d).value() : StripCfg{};
}

FbaCfg decode_fba_cfg_or_default(const json& v) {
    Decoded<FbaCfg> d = decode_fba_cfg(v);
    return d ? std::move(d).value() : FbaCfg{};
}

}  // namespace mixengine
