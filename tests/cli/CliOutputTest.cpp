// What norvane-cli writes: the progress line, the one JSON object, and the exit status of a
// result code.

#include "cli/ExitStatus.h"
#include "cli/ProgressBar.h"
#include "cli/Reporter.h"
#include "cli/TerminalText.h"

#include <gtest/gtest.h>

#include <sstream>

namespace norvane::cli {
namespace {

using namespace std::chrono_literals;

TEST(ProgressBar, TheLineShowsShareBytesRateAndTimeLeft)
{
    EXPECT_EQ(ProgressBar::render(512, 1024, 256.0, 10), " 50% [=====>    ] 512 B / 1.0 KiB  256 B/s  ETA 0:02");
    EXPECT_EQ(ProgressBar::render(1024, 1024, 100.0, 4), "100% [====] 1.0 KiB / 1.0 KiB  100 B/s");
    EXPECT_EQ(ProgressBar::render(0, 3u << 20, std::nullopt, 2), "  0% [> ] 0 B / 3.0 MiB");
    EXPECT_EQ(ProgressBar::render(5000, 0, std::nullopt), "4.9 KiB"); // no total yet
    // More done than announced (the file grew) never draws past the end.
    EXPECT_EQ(ProgressBar::render(2048, 1024, std::nullopt, 4), "100% [====] 2.0 KiB / 1.0 KiB");

    EXPECT_EQ(ProgressBar::formatBytes(1023), "1023 B");
    EXPECT_EQ(ProgressBar::formatBytes(1024), "1.0 KiB");
    EXPECT_EQ(ProgressBar::formatBytes(1024.0 * 1023.96), "1.0 MiB");
    EXPECT_EQ(ProgressBar::formatBytes(1536.0 * 1024 * 1024 * 1024), "1.5 TiB");
    EXPECT_EQ(ProgressBar::formatDuration(0.2), "0:01");
    EXPECT_EQ(ProgressBar::formatDuration(754), "12:34");
    EXPECT_EQ(ProgressBar::formatDuration(3723), "1:02:03");
    EXPECT_EQ(ProgressBar::formatDuration(1e30), "99:59:59");
}

TEST(ProgressBar, DrawsInPlaceAtMostFiveTimesASecondAndWipesItself)
{
    std::ostringstream out;
    ProgressBar bar(out, true);
    const auto start = ProgressBar::Clock::time_point {} + 100s;
    bar.update(0, 1000, start);
    bar.update(100, 1000, start + 50ms); // too soon: not drawn
    bar.update(400, 1000, start + 300ms);
    bar.update(1000, 1000, start + 310ms); // complete: always drawn
    const std::string text = out.str();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\r'), 3);
    EXPECT_NE(text.find(" 40% "), std::string::npos) << text;
    EXPECT_EQ(text.find(" 10% "), std::string::npos) << text;
    // 600 bytes in the 0.31 s since the first sample.
    EXPECT_NE(text.find("100% "), std::string::npos);
    EXPECT_NE(text.find("/s"), std::string::npos);
    bar.clear();
    EXPECT_TRUE(out.str().ends_with("\r"));

    std::ostringstream quiet;
    ProgressBar off(quiet, false);
    off.update(10, 100, start);
    off.clear();
    EXPECT_TRUE(quiet.str().empty());
}

TEST(Reporter, JsonModeWritesOneObjectWithTheAlertsAndNothingElseOnStandardOutput)
{
    std::ostringstream out;
    std::ostringstream err;
    Reporter reporter(true, out, err, false);
    reporter.line("a listing line");
    reporter.message("a message");
    reporter.alert("Alert", "No such file or folder: my:/x");
    reporter.result()["path"] = "my:/x";
    reporter.finish("rm", ExitStatus::forResult(9), 9);
    const std::string text = out.str();
    ASSERT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    const auto object = nlohmann::json::parse(text);
    EXPECT_EQ(object["command"], "rm");
    EXPECT_EQ(object["ok"], false);
    EXPECT_EQ(object["exitStatus"], 9);
    EXPECT_EQ(object["resultName"], "not-found");
    EXPECT_EQ(object["path"], "my:/x");
    EXPECT_EQ(object["alerts"][0]["message"], "No such file or folder: my:/x");
    EXPECT_EQ(err.str(), "a message\n");

    // A name that is not UTF-8 does not break the object.
    std::ostringstream out2;
    Reporter odd(true, out2, err, false);
    odd.result()["name"] = std::string("bad\xff");
    odd.finish("ls", 0, 1);
    EXPECT_FALSE(nlohmann::json::parse(out2.str(), nullptr, false).is_discarded());

    std::ostringstream plain;
    Reporter text2(false, plain, err, false);
    text2.line("line");
    text2.finish("ls", 0, 1, "");
    EXPECT_EQ(plain.str(), "line\n");
}

TEST(TerminalText, ControlsDirectionOverridesAndBrokenUtf8AreShownEscapedAndLettersPass)
{
    EXPECT_EQ(TerminalText::escaped("plain name.txt"), "plain name.txt");
    EXPECT_EQ(TerminalText::escaped("日本語 Ünïcödé 😀"), "日本語 Ünïcödé 😀");
    EXPECT_EQ(TerminalText::escaped("\x1b]0;owned\x07red\x1b[31m"), "\\x1b]0;owned\\x07red\\x1b[31m");
    EXPECT_EQ(TerminalText::escaped("a\tb\nc\rd\x7f"), "a\\tb\\nc\\rd\\x7f");
    EXPECT_EQ(TerminalText::escaped(std::string("nul\0end", 7)), "nul\\x00end");
    // C1 controls (the 8-bit CSI among them) and a right-to-left override that reverses the shown name.
    EXPECT_EQ(TerminalText::escaped("\xc2\x9b"
                                    "31m"),
        "\\u009b31m");
    EXPECT_EQ(TerminalText::escaped("invoice\xe2\x80\xae"
                                    "fdp.exe"),
        "invoice\\u202efdp.exe");
    // Bytes that are not UTF-8: a lone continuation, an overlong slash, a cut-off sequence, a surrogate.
    EXPECT_EQ(TerminalText::escaped("\x9b"), "\\x9b");
    EXPECT_EQ(TerminalText::escaped("\xc0\xaf"), "\\xc0\\xaf");
    EXPECT_EQ(TerminalText::escaped("ab\xe3\x81"), "ab\\xe3\\x81");
    EXPECT_EQ(TerminalText::escaped("\xed\xa0\x80"), "\\xed\\xa0\\x80");
    // Our own texts of several lines keep their breaks, and only those.
    EXPECT_EQ(TerminalText::escapedLines("one\ntwo\x1b\n"), "one\ntwo\\x1b\n");
}

TEST(Reporter, TextOutputEscapesWhatCameFromElsewhereAndJsonKeepsItAsData)
{
    std::ostringstream out;
    std::ostringstream err;
    Reporter text(false, out, err, false);
    text.line("-L  locked by \x1b[2J\x1b[Hmallory");
    text.message("Uploaded a\rb");
    text.finish("ls", 2, 2, "bad \x07");
    EXPECT_EQ(out.str(), "-L  locked by \\x1b[2J\\x1b[Hmallory\n");
    EXPECT_EQ(err.str(), "Uploaded a\\rb\nnorvane-cli: bad \\x07\n");

    std::ostringstream jsonOut;
    Reporter json(true, jsonOut, err, false);
    json.result()["lockedBy"] = "\x1b[31mmallory";
    json.finish("ls", 0, 1);
    EXPECT_EQ(nlohmann::json::parse(jsonOut.str())["lockedBy"], "\x1b[31mmallory");
    EXPECT_NE(jsonOut.str().find("\\u001b"), std::string::npos) << jsonOut.str();
}

TEST(ExitStatus, ResultCodesExitAsThemselvesAndTheRestAsUnexpected)
{
    EXPECT_EQ(ExitStatus::forResult(1), 0);
    EXPECT_EQ(ExitStatus::forResult(5), 5);
    EXPECT_EQ(ExitStatus::forResult(27), 27);
    EXPECT_EQ(ExitStatus::forResult(29), 29);
    for (std::int32_t unknown : { 0, 10, 17, 28, 30, -1, 64 })
        EXPECT_EQ(ExitStatus::forResult(unknown), ExitStatus::kUnexpected) << unknown;
    // Every status the table documents is distinct.
    std::set<int> seen;
    for (const auto& row : ExitStatus::table())
        EXPECT_TRUE(seen.insert(row.status).second) << row.status;
    EXPECT_TRUE(seen.count(ExitStatus::kUsage) && seen.count(9) && seen.count(0));
}

} // namespace
} // namespace norvane::cli
