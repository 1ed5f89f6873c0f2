// The JSON lines the code under test prints, captured for the lifetime of the object instead of
// reaching standard output.
#pragma once

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "control/telemetry.h"

namespace mixengine::testing {

struct CapturedLines {
    CapturedLines() { capture_output_for_tests(&text); }
    ~CapturedLines() { capture_output_for_tests(nullptr); }
    CapturedLines(const CapturedLines&) = delete;
    CapturedLines& operator=(const CapturedLines&) = delete;

    // The lines printed since the last take, parsed.
    std::vector<nlohmann::json> take() {
        std::vector<nlohmann::json> out;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) out.push_back(nlohmann::json::parse(line));
        text.clear();
        return out;
    }

    std::string text;
};

}  // namespace mixengine::testing
