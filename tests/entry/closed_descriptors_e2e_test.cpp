// The modes that read standard input and need no audio device, started with standard input or
// standard output closed.
#include "entry/standard_descriptors.h"

namespace mixengine {
namespace {

using testing::ClosedDescriptorCase;

const std::vector<ClosedDescriptorCase> kDevicelessModes = {
    {"simulation", {"--sim", "--inputs", "2", "--outputs", "2"}, R"({"t":"quit"})"},
    {"detector service", {"--detect"}, R"({"t":"quit"})"},
};

TEST(ClosedDescriptors, ClosedInputEndsEveryDevicelessMode) {
    for (const auto& c : kDevicelessModes) testing::expect_closed_input_ends(c, {});
}

TEST(ClosedDescriptors, ClosedOutputBecomesNullInEveryDevicelessMode) {
    for (const auto& c : kDevicelessModes) testing::expect_closed_output_is_null(c, {});
}

}  // namespace
}  // namespace mixengine
