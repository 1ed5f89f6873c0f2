#include "audio_host.h"

namespace mixengine {

std::string_view format_name(SampleFormat format) noexcept {
    switch (format) {
        case SampleFormat::I8:
            return "I8";
        case SampleFormat::I16:
            return "I16";
        case SampleFormat::I32:
            return "I32";
        case SampleFormat::I64:
            return "I64";
        case SampleFormat::U8:
            return "U8";
        case SampleFormat::U16:
            return "U16";
        case SampleFormat::U32:
            return "U32";
        case SampleFormat::U64:
            return "U64";
        case SampleFormat::F32:
            return "F32";
        case SampleFormat::F64:
            return "F64";
    }
    return "F32";
}

SampleFormat stream_format(SampleFormat chosen) noexcept {
    if (chosen == SampleFormat::I16 || chosen == SampleFormat::I32) return chosen;
    return SampleFormat::F32;
}

}  // namespace mixengine
