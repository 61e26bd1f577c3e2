#pragma once
// An arranger started in-process in a working directory of its own; what it
// prints is read from a message buffer.
#include "app/CApplication.h"
#include "base/MessageSink.h"
#include "engine/CKvSeq.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <unistd.h>

class ArrangerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(chdir(dir.path().c_str()), 0); }
    void TearDown() override
    {
        app.reset();
        ASSERT_EQ(chdir(home.c_str()), 0);
    }
    // Starts the arranger (with config.txt when given); returns what start-up printed.
    std::string start(const std::string& config = "")
    {
        if (!config.empty()) dir.write("config.txt", config);
        app = std::make_unique<CApplication>();
        app->startUp();
        return messages.take();
    }
    // Carries out console lines; returns what they printed.
    std::string type(const std::vector<std::string>& lines)
    {
        for (const std::string& l : lines) app->command(l);
        return messages.take();
    }
    CKvSeq& engine() { return *app->engine; }

    testsupport::TempDir dir;
    const std::string home = std::filesystem::current_path().string();
    vtn::CMessageCapture messages; // outlives the arranger, which prints while it shuts down
    std::unique_ptr<CApplication> app;
};
