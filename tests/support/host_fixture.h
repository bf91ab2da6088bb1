#pragma once
// The one checking JNI host of a test process (each test case runs in a process of its own),
// and the checks every test of a library ends with.
#include <gtest/gtest.h>

#include <string>

#include "jni_host.h"

inline jnihost::Host& host() {
    static jnihost::Host* instance = new jnihost::Host();  // outlives every library thread
    return *instance;
}

inline std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

#define EXPECT_NO_JNI_VIOLATIONS() EXPECT_TRUE(host().violations().empty()) << joined(host().violations())
