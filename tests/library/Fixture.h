// Fixture.h - the common set-up of the library's tests: a fresh recording
// fake, a host that is set up, and captured log output.
#pragma once

#include <gtest/gtest.h>

#include <corvane/Corvane.h>
#include <corvane/ExtensionManager.h>

#include <memory>

#include "LogCapture.h"
#include "RecordingVoicemodUSDK.h"

class LibraryTest : public ::testing::Test {
protected:
    void SetUp() override {
        recording::reset();
        corvane::Corvane::initialize();
        corvane::ExtensionManager::getInstance().clear();
        log = std::make_unique<testsupport::LogCapture>();
    }
    void TearDown() override {
        log.reset();
        corvane::ExtensionManager::getInstance().clear();
        recording::reset();
    }

    std::unique_ptr<testsupport::LogCapture> log;
};
