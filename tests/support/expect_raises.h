// Checks that a piece of code raises one exception type with one message.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <typeinfo>

// Runs f; a failure unless it raises E (or a descendant) whose message is
// exactly `message`. Any other exception leaves f as it would.
template <typename E, typename F>
void ExpectRaises(F&& f, const std::string& message) {
    try {
        f();
        ADD_FAILURE() << "nothing raised; expected " << typeid(E).name() << " \"" << message << "\"";
    } catch (const E& e) {
        EXPECT_EQ(std::string(e.what()), message);
    }
}
