#pragma once

#include "platform/Log.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// Points the application data directory ($NORVANE_HOME) at a fresh folder for the length of a
// test and collects the log lines written meanwhile.
class StateTestHome : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const char* old = std::getenv("NORVANE_HOME"))
            saved_ = old;
        std::string pattern = (std::filesystem::temp_directory_path() / "norvane-state-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        home_ = pattern;
        setenv("NORVANE_HOME", home_.c_str(), 1);
        norvane::Log::setSink([this](std::string_view line) { logLines_.emplace_back(line); });
    }

    void TearDown() override
    {
        norvane::Log::setSink({});
        if (saved_)
            setenv("NORVANE_HOME", saved_->c_str(), 1);
        else
            unsetenv("NORVANE_HOME");
        std::error_code ignored;
        std::filesystem::remove_all(home_, ignored);
    }

    std::filesystem::path configDir() const { return home_ / "tmp" / "do_not_delete_config"; }

    std::filesystem::path home_;
    std::vector<std::string> logLines_;

private:
    std::optional<std::string> saved_;
};
