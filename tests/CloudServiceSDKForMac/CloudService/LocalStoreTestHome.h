#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

// Points the application data directory ($NORVANE_HOME) at a fresh folder for the length of a
// test, and puts the old value back afterwards.
class LocalStoreTestHome : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const char* old = std::getenv("NORVANE_HOME"))
            saved_ = old;
        std::string pattern = (std::filesystem::temp_directory_path() / "norvane-store-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        home_ = pattern;
        setenv("NORVANE_HOME", home_.c_str(), 1);
    }

    void TearDown() override
    {
        if (saved_)
            setenv("NORVANE_HOME", saved_->c_str(), 1);
        else
            unsetenv("NORVANE_HOME");
        std::error_code ignored;
        std::filesystem::remove_all(home_, ignored);
    }

    std::filesystem::path home_;

private:
    std::optional<std::string> saved_;
};
