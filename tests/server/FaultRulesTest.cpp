#include "server/http/FaultRules.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <thread>
#include <unistd.h>

using namespace norvane;
using namespace norvane::server;
using namespace std::chrono_literals;

TEST(FaultGlob, AnchorsWildcardsAndCharacters)
{
    struct Case {
        const char* pattern;
        const char* text;
        bool matches;
    };
    const Case cases[] = {
        { "/FILE/a", "/FILE/a", true },
        { "/FILE/a", "/FILE/ab", false }, // anchored at the end
        { "/FILE/a", "/x/FILE/a", false }, // and at the start
        { "/FILE/*", "/FILE/a/b/c.txt", true }, // "*" crosses "/"
        { "/FILE/*", "/FOLDER/a", false },
        { "*/b.txt", "/FILE/a/b.txt", true },
        { "/FILE/*.txt", "/FILE/a.txt.bak", false },
        { "/FILE/*a*b", "/FILE/xaxxbab", true }, // the last star has to take more than once
        { "/FILE/?", "/FILE/ab", false },
        { "/FILE/?", "/FILE/\xC3\xA9", true }, // "?" is one UTF-8 character, not one byte
        { "/FILE/??", "/FILE/\xC3\xA9", false },
        { "/FILE/\xC3\xA9*", "/FILE/\xC3\xA9t\xC3\xA9", true },
        { "/file/A", "/FILE/A", false }, // paths are case-sensitive
        { "***", "", true },
        { "?", "", false },
    };
    for (const auto& c : cases)
        EXPECT_EQ(globMatches(c.pattern, c.text), c.matches) << c.pattern << " against " << c.text;

    // Many stars against a long text that almost matches: a backtracking matcher would take
    // exponential time here; this one must simply give the answer.
    const std::string many(200'000, 'a');
    EXPECT_FALSE(globMatches("*a*a*a*a*a*a*a*a*a*a*b", many));
    EXPECT_TRUE(globMatches("*a*a*a*a*a*a*a*a*a*a*b", many + "b"));
}

TEST(FaultRulesParse, ReadsEveryFieldAndDefaults)
{
    const auto parsed = parseFaultRules(R"([
        {"method": "put", "path": "/FILE/*", "times": 2, "status": 416, "body": "<x/>", "delayMs": 250,
         "dropAfterBytes": 10, "trickleBytesPerSecond": 100, "offset416": 7},
        {"path": "/FOLDER/?"},
        {"method": "*", "noAnswer": true}
    ])");
    ASSERT_TRUE(parsed.ok()) << parsed.error->description;
    ASSERT_EQ(parsed.rules.size(), 3u);
    FaultRule full;
    full.method = "PUT";
    full.path = "/FILE/*";
    full.times = 2;
    full.status = 416;
    full.body = "<x/>";
    full.delayMs = 250;
    full.dropAfterBytes = 10;
    full.trickleBytesPerSecond = 100;
    full.offset416 = 7;
    EXPECT_EQ(parsed.rules[0], full);
    FaultRule anyMethod; // no times, status or other action
    anyMethod.path = "/FOLDER/?";
    EXPECT_EQ(parsed.rules[1], anyMethod);
    FaultRule anyRequest;
    anyRequest.noAnswer = true;
    EXPECT_EQ(parsed.rules[2], anyRequest);
}

TEST(FaultRulesParse, RefusesMalformedInputWithAReason)
{
    struct Case {
        std::string json;
        FaultRulesError code;
        const char* reasonMentions;
    };
    const Case cases[] = {
        { "[{\"status\": 500}", FaultRulesError::Syntax, "JSON" },
        { R"({"status": 500})", FaultRulesError::Rule, "array" },
        { R"([{"status": 500}, 3])", FaultRulesError::Rule, "rule 1" },
        { R"([{"times": "1"}])", FaultRulesError::Rule, "\"times\"" },
        { R"([{"times": 1.5}])", FaultRulesError::Rule, "\"times\"" },
        { R"([{"status": "500"}])", FaultRulesError::Rule, "\"status\"" },
        { R"([{"status": 99}])", FaultRulesError::Rule, "\"status\"" },
        { R"([{"delayMs": 100000000}])", FaultRulesError::Rule, "\"delayMs\"" },
        { R"([{"trickleBytesPerSecond": 0}])", FaultRulesError::Rule, "\"trickleBytesPerSecond\"" },
        { R"([{"dropAfterBytes": 18446744073709551615}])", FaultRulesError::Rule, "\"dropAfterBytes\"" },
        { R"([{"noAnswer": 1}])", FaultRulesError::Rule, "\"noAnswer\"" },
        { R"([{"method": 5}])", FaultRulesError::Rule, "\"method\"" },
        { R"([{"method": "GET /"}])", FaultRulesError::Rule, "\"method\"" },
        { R"([{"path": "FILE/*"}])", FaultRulesError::Rule, "\"path\"" },
        { R"([{"delayMS": 5}])", FaultRulesError::Rule, "\"delayMS\"" },
        { R"([{"body": "x"}])", FaultRulesError::Rule, "\"status\"" },
        { R"([{"noAnswer": true, "status": 500}])", FaultRulesError::Rule, "\"noAnswer\"" },
        { R"([{"offset416": 3, "status": 500}])", FaultRulesError::Rule, "\"offset416\"" },
        { std::string(100'000, '[') + std::string(100'000, ']'), FaultRulesError::Rule, "rule 0" },
        { "[" + std::string(2 * 1024 * 1024, ' ') + "]", FaultRulesError::Syntax, "1 MiB" },
    };
    for (const auto& c : cases) {
        const auto parsed = parseFaultRules(c.json);
        ASSERT_FALSE(parsed.ok()) << c.json.substr(0, 80);
        EXPECT_TRUE(parsed.rules.empty());
        EXPECT_EQ(parsed.error->domain, kFaultRulesErrorDomain);
        EXPECT_EQ(parsed.error->code, static_cast<long>(c.code)) << c.json.substr(0, 80);
        EXPECT_NE(parsed.error->description.find(c.reasonMentions), std::string::npos) << parsed.error->description;
    }
}

TEST(FaultRulesMatch, FiltersByMethodAndConsumesTimesInOrder)
{
    FaultRules faults;
    ASSERT_FALSE(faults.replaceFromJson(R"([
        {"method": "Put", "path": "/FILE/*", "times": 2, "status": 500, "body": "no"},
        {"path": "/FILE/*", "delayMs": 30, "dropAfterBytes": 4, "trickleBytesPerSecond": 9}
    ])"));

    EXPECT_FALSE(faults.match("PUT", "/FOLDER/a"));
    auto get = faults.match("GET", "/FILE/a");
    ASSERT_TRUE(get);
    EXPECT_EQ(get->ruleIndex, 1u);
    EXPECT_EQ(get->delay, 30ms);
    EXPECT_EQ(get->dropAfterBytes, 4u);
    EXPECT_EQ(get->trickleBytesPerSecond, 9u);
    EXPECT_FALSE(get->status);

    for (const char* method : { "put", "PUT" }) {
        auto put = faults.match(method, "/FILE/a/b");
        ASSERT_TRUE(put);
        EXPECT_EQ(put->ruleIndex, 0u);
        EXPECT_EQ(put->status, 500);
        EXPECT_EQ(put->body, "no");
    }
    EXPECT_EQ(faults.rules()[0].times, 0);
    // The first rule is used up: the next one that matches takes over.
    auto third = faults.match("PUT", "/FILE/a");
    ASSERT_TRUE(third);
    EXPECT_EQ(third->ruleIndex, 1u);

    // A refused list leaves the current one in place; clear empties it.
    EXPECT_TRUE(faults.replaceFromJson("[{\"times\": \"x\"}]"));
    EXPECT_EQ(faults.rules().size(), 2u);
    faults.clear();
    EXPECT_FALSE(faults.match("GET", "/FILE/a"));
}

TEST(FaultRulesMatch, ExactlyTimesMatchesWhenThreadsRace)
{
    FaultRules faults;
    FaultRule rule;
    rule.path = "/FILE/*";
    rule.times = 137;
    rule.status = 503;
    faults.replace({ rule });
    std::atomic<int> matched { 0 };
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i)
                if (faults.match("GET", "/FILE/x"))
                    ++matched;
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(matched.load(), 137);
    EXPECT_EQ(faults.rules()[0].times, 0);
}

TEST(FaultRulesMatch, LoadsFilesAndReportsUnreadableOnes)
{
    FaultRules faults;
    const auto error = faults.loadFile("/nonexistent/faults.json");
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, static_cast<long>(FaultRulesError::File));

    const std::string path = ::testing::TempDir() + "faults-" + std::to_string(::getpid()) + ".json";
    std::ofstream(path) << R"([{"method": "DELETE", "path": "/FOLDER/*", "noAnswer": true}])";
    EXPECT_FALSE(faults.loadFile(path));
    std::ofstream(path) << R"([{"method": "DELETE", "nope": 1}])";
    const auto bad = faults.loadFile(path);
    std::remove(path.c_str());
    ASSERT_TRUE(bad);
    EXPECT_NE(bad->description.find(path), std::string::npos);
    auto action = faults.match("delete", "/FOLDER/x");
    ASSERT_TRUE(action);
    EXPECT_TRUE(action->noAnswer);
}

TEST(FaultPacing, TrickleAndDropArithmetic)
{
    EXPECT_EQ(trickleDueTime(100, 250), 2500ms);
    EXPECT_EQ(trickleDueTime(3, 1), std::chrono::nanoseconds(333'333'333));
    EXPECT_EQ(trickleDueTime(1, UINT64_MAX), std::chrono::seconds(1'000'000'000)); // saturates
    EXPECT_EQ(trickleDueTime(0, 5), 0ns);

    const auto start = Trickle::Clock::now();
    Trickle pace(100, start);
    EXPECT_EQ(pace.nextPieceSize(1000), 5u);
    EXPECT_EQ(pace.nextPieceSize(2), 2u);
    EXPECT_EQ(Trickle(1, start).nextPieceSize(1000), 1u);
    EXPECT_EQ(Trickle(1'000'000'000, start).nextPieceSize(1 << 20), 65536u);
    EXPECT_EQ(pace.waitBeforeNext(start), 0ns);
    pace.sent(50);
    EXPECT_EQ(pace.waitBeforeNext(start), 500ms);
    EXPECT_EQ(pace.waitBeforeNext(start + 200ms), 300ms);
    EXPECT_EQ(pace.waitBeforeNext(start + 2s), 0ns);

    EXPECT_EQ(bytesBeforeDrop(10, 0, 4), 4u);
    EXPECT_EQ(bytesBeforeDrop(10, 8, 4), 2u);
    EXPECT_EQ(bytesBeforeDrop(10, 10, 4), 0u);
    EXPECT_EQ(bytesBeforeDrop(10, 12, 4), 0u);
    EXPECT_EQ(bytesBeforeDrop(0, 0, 4), 0u);
}
