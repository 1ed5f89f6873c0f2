// End-to-end tests of the device modes: each test gets a private JACK dummy server, and the
// engine it starts finds that server through the environment.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/jack_test_server.h"

namespace mixengine::testing {

class JackEngineTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(server_.wait_ready()) << "jackd did not start"; }

    // The engine with `args`, on this test's server.
    ChildProcess start(const std::vector<std::string>& args) {
        return ChildProcess(MIXENGINE_BINARY, args, {server_.env()});
    }

    JackTestServer server_;
};

}  // namespace mixengine::testing
