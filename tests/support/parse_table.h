// A parser's table: texts and what each must parse to, every failure naming its text.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>

namespace mixengine::testing {

template <class T>
struct ParseCase {
    const char* text;
    T expected;
};

template <class Parse, class T, std::size_t N>
void expect_parses(Parse parse, const ParseCase<T> (&cases)[N]) {
    for (const ParseCase<T>& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(parse(c.text), c.expected);
    }
}

}  // namespace mixengine::testing
