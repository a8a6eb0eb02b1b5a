// Publishing and printing against the real server: a share link made by the client and fetched
// the way a browser would (libcurl, no session), and print registrations with their job list.

#include "e2e/ContractTest.h"
#include "formats/HttpDate.h"

namespace norvane::testing {
namespace {

std::string textOf(const Bytes& bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

std::string between(const std::string& text, const std::string& begin, const std::string& end)
{
    return RestStorageServiceAdaptor::beginEnd2Str(text, begin, end).value_or("");
}

class PublishingContractTest : public ContractTest {
protected:
    // The link's answer to an anonymous visitor.
    HttpReply visit(const std::string& link, const std::string& method = "GET", const std::string& form = {})
    {
        HttpHeaders headers;
        if (!form.empty())
            headers.emplace_back("Content-Type", "application/x-www-form-urlencoded");
        return httpRequest(method, link, headers, form, server().pin());
    }

    CloudServiceCommandPtr publish(const std::string& remote, int days, int times, bool password)
    {
        auto command = CommandFactory::makePublishCommand("", remote);
        command->applicationType = "file";
        auto& options = command->inputParameter->cmdOption;
        options[RestStorageServiceAdaptor::kPublishOptionPeriod] = std::to_string(days);
        options[RestStorageServiceAdaptor::kPublishOptionTimes] = std::to_string(times);
        options[RestStorageServiceAdaptor::kPublishOptionNeedPassword] = password ? "1" : "0";
        return command;
    }

    static CloudServiceCommandPtr print(const std::string& remote)
    {
        return CommandFactory::makeNetPrintCommand(remote, "1234", "7");
    }

    static std::string printNumber(const CloudServiceCommandPtr& command)
    {
        const auto& options = command->outputParameter->cmdOption;
        auto found = options.find(kOptionOutputMessage);
        return found != options.end() && found->second.string() ? *found->second.string() : std::string();
    }

    static std::string jobList(const Client& client)
    {
        Bytes body;
        EXPECT_EQ(client.adaptor->downloadWhole("/NETPRINT", {}, body), ResultSuccess);
        return textOf(body);
    }
};

TEST_P(PublishingContractTest, ShareLinkServesTheFileWithItsPasswordUntilItsLimit)
{
    const auto accounts = newCompany("share", 1);
    Client& client = loggedIn(accounts[0]);
    const Bytes content = randomBytes(kMiB + 77, 61);
    ASSERT_EQ(client.run(putMemory(content, "/FILE/Memo/shared-report.bin"))->commandRes, ResultSuccess);

    auto made = client.run(publish("/FILE/Memo/shared-report.bin", 7, 2, true));
    ASSERT_EQ(made->commandRes, ResultSuccess) << textOf(*made->outputParameter->memoryData);
    const std::string answer = textOf(*made->outputParameter->memoryData);
    // The client shows its own address of the server followed by the key.
    const std::string key = between(answer, "<download-key>", "</download-key>");
    const std::string link = server().url() + key;
    const std::string password = between(answer, "<download-password>", "</download-password>");
    ASSERT_EQ(key.rfind("/s/", 0), 0u) << answer;
    EXPECT_EQ(password.size(), 4u) << answer;
    EXPECT_EQ(password.find_first_not_of("0123456789"), std::string::npos) << answer;
    EXPECT_TRUE(dateFromRFC1123(between(answer, "<valid-day>", "</valid-day>"))) << answer;

    // Without the password, or with a wrong one, the visitor gets a page that names the file and
    // asks for the password, never the file.
    for (const std::string& attempt : { link, link + "?password=0000" + (password == "0000" ? "1" : "") }) {
        auto page = visit(attempt);
        EXPECT_TRUE(page.status == 200 || page.status == 403) << page.status << " " << attempt << " " << page.error;
        EXPECT_NE(page.body.find("shared-report.bin"), std::string::npos) << page.body;
        EXPECT_NE(page.body.find("password"), std::string::npos) << page.body;
        EXPECT_EQ(page.body.find(textOf(content).substr(0, 64)), std::string::npos);
        EXPECT_EQ(page.header("content-disposition").find("attachment"), std::string::npos);
    }

    // With it the file comes as an attachment, by query and by the page's form; each counts.
    auto byQuery = visit(link + "?password=" + password);
    EXPECT_EQ(byQuery.status, 200) << byQuery.error;
    EXPECT_TRUE(byQuery.body == textOf(content)) << byQuery.body.size() << " bytes";
    EXPECT_NE(byQuery.header("content-disposition").find("attachment"), std::string::npos);
    auto byForm = visit(link, "POST", "password=" + password);
    EXPECT_EQ(byForm.status, 200) << byForm.error;
    EXPECT_TRUE(byForm.body == textOf(content)) << byForm.body.size() << " bytes";

    // The limit was two deliveries.
    auto spent = visit(link + "?password=" + password);
    EXPECT_EQ(spent.status, 410);
    EXPECT_FALSE(spent.body == textOf(content));
    EXPECT_EQ(visit(server().url() + "/s/no-such-key").status / 100, 4);
}

TEST_P(PublishingContractTest, LinkWithoutPasswordAndLinksTheServerRefuses)
{
    const auto accounts = newCompany("open", 1);
    Client& client = loggedIn(accounts[0]);
    const Bytes content = randomBytes(999, 62);
    ASSERT_EQ(client.run(putMemory(content, "/FILE/Memo/open.txt"))->commandRes, ResultSuccess);
    auto made = client.run(publish("/FILE/Memo/open.txt", 3, 1, false));
    ASSERT_EQ(made->commandRes, ResultSuccess);
    const std::string answer = textOf(*made->outputParameter->memoryData);
    const std::string link = server().url() + between(answer, "<download-key>", "</download-key>");
    EXPECT_TRUE(between(answer, "<download-password>", "</download-password>").empty()) << answer;
    auto fetched = visit(link, "POST", "password=");
    EXPECT_EQ(fetched.status, 200) << fetched.error;
    EXPECT_TRUE(fetched.body == textOf(content));
    EXPECT_EQ(visit(link, "POST", "password=").status, 410) << "one delivery only";

    // A link to a file that does not exist is refused and shown to the user.
    auto missing = client.run(publish("/FILE/Memo/not-there.txt", 3, 1, false));
    EXPECT_NE(missing->commandRes, ResultSuccess);
}

TEST_P(PublishingContractTest, ALinkIsDisabledForGoodAfterFiftyWrongPasswords)
{
    ServerProcess::Options options;
    options.tls = GetParam() == Scheme::Https;
    ServerProcess own(options);
    ASSERT_TRUE(own.start()) << own.error();
    Client& client = loggedIn(newCompany("pin", 1, {}, &own)[0], &own);
    const Bytes content = randomBytes(4000, 63);
    ASSERT_EQ(client.run(putMemory(content, "/FILE/Memo/pin.bin"))->commandRes, ResultSuccess);
    auto linkOf = [&] {
        auto made = client.run(publish("/FILE/Memo/pin.bin", 7, 100, true));
        EXPECT_EQ(made->commandRes, ResultSuccess);
        const std::string answer = textOf(*made->outputParameter->memoryData);
        return std::make_pair(own.url() + between(answer, "<download-key>", "</download-key>"),
            between(answer, "<download-password>", "</download-password>"));
    };
    const auto [link, password] = linkOf();
    const auto [other, otherPassword] = linkOf();
    auto visitOwn = [&](const std::string& url) { return httpRequest("GET", url, {}, {}, own.pin()); };

    // Each wrong try is answered as such, none is held back for a while ...
    for (int i = 0; i < 50; ++i) {
        const std::string wrong = std::to_string(1000 + (std::stoi(password) + 1 + i) % 9000);
        auto page = visitOwn(link + "?password=" + wrong);
        ASSERT_EQ(page.status, 200) << "try " << i << ": " << page.body;
        EXPECT_NE(page.body.find("wrong"), std::string::npos);
    }
    // ... but after fifty the link is closed, to the right password too, also after a restart.
    for (int round = 0; round < 2; ++round) {
        auto closed = visitOwn(link + "?password=" + password);
        EXPECT_EQ(closed.status, 410) << closed.body;
        EXPECT_NE(closed.body.find("disabled"), std::string::npos) << closed.body;
        EXPECT_FALSE(closed.body == textOf(content));
        ASSERT_TRUE(round == 1 || own.restart()) << own.error();
    }
    // The owner's other link is not affected.
    EXPECT_TRUE(visitOwn(other + "?password=" + otherPassword).body == textOf(content));
}

TEST_P(PublishingContractTest, PrintRegistrationNumbersJobsAndRefusesLargeOrMissingFiles)
{
    const auto accounts = newCompany("print", 1);
    Client& client = loggedIn(accounts[0]);
    ASSERT_EQ(client.run(putMemory(randomBytes(2048, 71), "/FILE/Memo/flyer.txt"))->commandRes, ResultSuccess);
    ASSERT_EQ(
        client.run(putMemory(randomBytes(10 * kMiB + 1, 72), "/FILE/Memo/poster.bin"))->commandRes, ResultSuccess);
    EXPECT_EQ(occurrences(jobList(client), "<FileInfo>"), 0u);

    auto first = client.run(print("/FILE/Memo/flyer.txt"));
    EXPECT_EQ(first->commandRes, ResultSuccess);
    const std::string number = printNumber(first);
    EXPECT_EQ(number.size(), 8u) << number;
    EXPECT_EQ(number.find_first_not_of("0123456789"), std::string::npos) << number;
    auto second = client.run(print("/FILE/Memo/flyer.txt"));
    EXPECT_EQ(second->commandRes, ResultSuccess);
    EXPECT_NE(printNumber(second), number) << "every registration is a job of its own";

    auto tooLarge = client.run(print("/FILE/Memo/poster.bin"));
    EXPECT_EQ(tooLarge->commandRes, ResultSuccess);
    EXPECT_EQ(printNumber(tooLarge), "-2");
    auto missing = client.run(print("/FILE/Memo/gone.txt"));
    EXPECT_EQ(printNumber(missing), "-3");

    const std::string jobs = jobList(client);
    EXPECT_NE(jobs.find("<NetPrintList"), std::string::npos) << jobs;
    ASSERT_EQ(occurrences(jobs, "<FileInfo>"), 2u) << jobs;
    EXPECT_NE(jobs.find("<printID>" + number + "</printID>"), std::string::npos) << jobs;
    EXPECT_NE(jobs.find("<fileName>flyer.txt</fileName>"), std::string::npos) << jobs;
    EXPECT_EQ(jobs.find("poster.bin"), std::string::npos) << "refused registrations are no jobs";

    // A job goes away by its key.
    const std::string key = between(jobs, "<Key>", "</Key>");
    ASSERT_FALSE(key.empty()) << jobs;
    EXPECT_EQ(client.adaptor->rm("/NETPRINT/" + key, "file"), ResultSuccess);
    const std::string after = jobList(client);
    EXPECT_EQ(occurrences(after, "<FileInfo>"), 1u) << after;
    EXPECT_EQ(after.find("<Key>" + key + "</Key>"), std::string::npos) << after;

    // Jobs are per user.
    Client& colleague = loggedIn(newCompany("print-other", 1)[0]);
    EXPECT_EQ(occurrences(jobList(colleague), "<FileInfo>"), 0u);
}

INSTANTIATE_TEST_SUITE_P(Wire, PublishingContractTest, ::testing::Values(Scheme::Http, Scheme::Https), schemeName);

} // namespace
} // namespace norvane::testing
