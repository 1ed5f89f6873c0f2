// Device matching by typed name and the device list, against a scripted host.
#include <gtest/gtest.h>

#include "audio/device_lookup.h"
#include "audio/fake_host.h"

namespace mixengine {
namespace {

std::optional<std::string> found_name(FakeHost& host, std::string_view request,
                                      Direction direction) {
    const auto d = find_device(host, request, direction);
    if (!d) return std::nullopt;
    return *host.device_name(*d);
}

TEST(FindDevice, ExactMatchBeatsEarlierSubstringMatch) {
    FakeHost host;
    host.device_list = {fake_device("Desk 16 USB", 16, 0), fake_device("Desk 16", 16, 0),
                        fake_device("Stage 24", 24, 0),    fake_device("Stage 24 USB", 24, 0),
                        fake_device("Main Out", 0, 2),     fake_device("Ελληνική Κάρτα", 2, 2),
                        fake_device("Пульт", 8, 0)};
    const struct {
        const char* request;
        Direction direction;
        std::optional<std::string> expected;
    } cases[] = {
        {"desk 16", Direction::Input, "Desk 16"},
        {"DESK", Direction::Input, "Desk 16 USB"},
        {"STAGE 24", Direction::Input, "Stage 24"},
        {"24 usb", Direction::Input, "Stage 24 USB"},
        {"main out", Direction::Input, std::nullopt},  // only an output has that name
        {"main out", Direction::Output, "Main Out"},
        {"", Direction::Input, "Desk 16 USB"},
        {"", Direction::Output, "Main Out"},
        {"ΚΆΡΤΑ", Direction::Output, "Ελληνική Κάρτα"},
        {"пульт", Direction::Input, "Пульт"},
        {"desk 16 usb 2", Direction::Input, std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(found_name(host, c.request, c.direction), c.expected) << c.request;
}

TEST(FindDevice, SkipsDevicesThatCannotBeReadOrLackTheDirection) {
    FakeHost host;
    host.device_list = {fake_device("Broken", 2, 2), fake_device("Unknown", 2, 2),
                        fake_device("Empty", 2, 2), fake_device("Broken too", 2, 2)};
    host.device_list[0].name_fails = true;
    host.device_list[1].inputs = std::nullopt;                      // configurations unreadable
    host.device_list[2].inputs = std::vector<StreamConfigRange>{};  // no input at all
    EXPECT_EQ(found_name(host, "broken", Direction::Input), "Broken too");
    EXPECT_EQ(found_name(host, "unknown", Direction::Input), std::nullopt);
    EXPECT_EQ(found_name(host, "empty", Direction::Input), std::nullopt);
    EXPECT_EQ(found_name(host, "unknown", Direction::Output), "Unknown");

    host.list_fails = true;
    EXPECT_EQ(found_name(host, "", Direction::Output), std::nullopt);
}

TEST(DeviceList, ListsEachDirectionWithItsDefaultConfiguration) {
    FakeHost host;
    host.name = "Jack";
    host.device_list = {fake_device("Interface", 18, 20, 96000, SampleFormat::I32),
                        fake_device("Speakers", 0, 2, 44100, SampleFormat::I16),
                        fake_device("Nameless", 2, 2), fake_device("No default", 2, 2)};
    host.device_list[0].default_output = DefaultConfig{20, 48000, SampleFormat::F64};
    host.device_list[2].name_fails = true;
    host.device_list[3].default_input = std::nullopt;

    const Json expected = Json::parse(R"({"t":"devices","host":"Jack",
        "inputs":[{"name":"Interface","channels":18,"rate":96000,"format":"I32"}],
        "outputs":[{"name":"Interface","channels":20,"rate":48000,"format":"F64"},
                   {"name":"Speakers","channels":2,"rate":44100,"format":"I16"},
                   {"name":"No default","channels":2,"rate":48000,"format":"F32"}]})");
    EXPECT_EQ(list_devices_line(host), expected);
    EXPECT_EQ(to_line(list_devices_line(host)).find("{\"host\":\"Jack\",\"inputs\":"), 0u);

    host.list_fails = true;
    EXPECT_EQ(list_devices_line(host),
              Json::parse(R"({"t":"devices","host":"Jack","inputs":[],"outputs":[]})"));
}

TEST(SampleFormat, NamesAndOpenedTypes) {
    const struct {
        SampleFormat format;
        const char* name;
        SampleFormat opened;
    } cases[] = {
        {SampleFormat::I8, "I8", SampleFormat::F32},
        {SampleFormat::I16, "I16", SampleFormat::I16},
        {SampleFormat::I32, "I32", SampleFormat::I32},
        {SampleFormat::I64, "I64", SampleFormat::F32},
        {SampleFormat::U8, "U8", SampleFormat::F32},
        {SampleFormat::U16, "U16", SampleFormat::F32},
        {SampleFormat::U32, "U32", SampleFormat::F32},
        {SampleFormat::U64, "U64", SampleFormat::F32},
        {SampleFormat::F32, "F32", SampleFormat::F32},
        {SampleFormat::F64, "F64", SampleFormat::F32},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(format_name(c.format), c.name);
        EXPECT_EQ(stream_format(c.format), c.opened) << c.name;
    }
}

}  // namespace
}  // namespace mixengine
