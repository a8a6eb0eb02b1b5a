// The built norvane-cli against a freshly started norvane-server: every command once as a person
// reads it and once with --json, the exit status of refusals, and the edit loop that uploads
// every save. One server serves the suite; each test signs up a company of its own and keeps its
// settings in a home folder of its own.

#include "cli/CliEndToEndFixture.h"

namespace norvane::test {
namespace {

TEST_F(CliEndToEnd, ConfigLoginInfoAndLogoutKeepTheSessionInTheSettingsAndNoPasswordAnywhere)
{
    makeCompany();
    const std::string address = "127.0.0.1:" + std::to_string(server_->port());
    // Nothing set up yet: the command says so and does not try.
    const CliResult early = cli({ "--json", "ls" });
    EXPECT_EQ(early.exitStatus, 65);
    EXPECT_EQ(early.json()["alerts"].size(), 1u) << early.out;

    const CliResult config = cli({ "config", "--server", address, "--http" });
    ASSERT_EQ(config.exitStatus, 0) << config.err;
    EXPECT_NE(config.out.find("server:        " + address + " (http)"), std::string::npos) << config.out;
    const nlohmann::json shown = cli({ "--json", "config" }).json();
    EXPECT_EQ(shown["config"]["server"], address);
    EXPECT_EQ(shown["config"]["loginServer"], address); // follows the server until set apart
    EXPECT_EQ(shown["config"]["https"], false);

    const CliResult wrong = cli({ "--json", "login", company_, "ann", "--password-stdin" }, "not-it\n");
    EXPECT_NE(wrong.exitStatus, 0);
    EXPECT_FALSE(wrong.json()["ok"].get<bool>());
    EXPECT_EQ(wrong.json()["alerts"].size(), 1u) << wrong.out;

    const CliResult login = cli({ "login", company_, "ann", "--password-stdin" }, password("ann") + "\n");
    ASSERT_EQ(login.exitStatus, 0) << login.err;
    EXPECT_NE(login.err.find("Member ann"), std::string::npos) << login.err;
    const CliResult loginJson = cli({ "--json", "login", company_, "ann", "--password-stdin" }, password("ann") + "\n");
    EXPECT_EQ(loginJson.json()["fullName"], "Member ann") << loginJson.out;

    const CliResult info = cli({ "info" });
    ASSERT_EQ(info.exitStatus, 0) << info.err;
    EXPECT_NE(info.out.find("Member ann (ann, " + company_ + ")"), std::string::npos) << info.out;
    const nlohmann::json infoJson = cli({ "--json", "info" }).json();
    EXPECT_EQ(infoJson["account"]["user"], "ann");
    EXPECT_TRUE(infoJson["storage"]["used"].is_number()) << infoJson.dump();
    EXPECT_TRUE(infoJson["policies"].contains("webShareMaxDays"));

    // The password rests only sealed in the settings file, never in any output.
    const std::string settings = readWhole(home_ / "tmp" / "do_not_delete_config" / "ConfigInfo.xml");
    EXPECT_NE(settings.find("<companyCode type=\"string\">" + company_), std::string::npos);
    for (const CliResult* result : { &config, &login, &loginJson, &info, &wrong }) {
        EXPECT_EQ(result->out.find(password("ann")), std::string::npos);
        EXPECT_EQ(result->err.find(password("ann")), std::string::npos);
    }
    EXPECT_EQ(settings.find(password("ann")), std::string::npos);

    const CliResult logout = cli({ "--json", "logout" });
    EXPECT_EQ(logout.exitStatus, 0);
    EXPECT_TRUE(logout.json()["ok"].get<bool>());
    EXPECT_EQ(cli({ "ls" }).exitStatus, 65); // signed out means no stored password
    EXPECT_EQ(cli({ "logout" }).exitStatus, 0);
}

TEST_F(CliEndToEnd, FilesAndFolderTreesGoUpAndComeBackByteForByte)
{
    makeCompany();
    signIn();
    const std::string big = randomContent(2'500'000, 1); // several chunks each way
    writeFile(work_ / "big.bin", big);
    writeFile(work_ / "tree" / "a.txt", "alpha\n");
    writeFile(work_ / "tree" / "sub" / "b.bin", randomContent(70'000, 2));
    writeFile(work_ / "tree" / "sub" / "deeper" / "c.txt", "gamma\n");
    writeFile(work_ / "tree" / ".hidden", "not uploaded\n");

    const CliResult putFile = cli({ "put", (work_ / "big.bin").string(), "my:/" });
    ASSERT_EQ(putFile.exitStatus, 0) << putFile.err;
    EXPECT_EQ(putFile.err.find('\r'), std::string::npos); // no progress line without a terminal
    const CliResult putTree = cli({ "--json", "put", (work_ / "tree").string(), "my:/" });
    ASSERT_EQ(putTree.exitStatus, 0) << putTree.err;
    EXPECT_EQ(putTree.json()["uploaded"][0]["path"], "my:/tree") << putTree.out;

    const CliResult lsText = cli({ "ls", "my:/tree" });
    EXPECT_NE(lsText.out.find("  a.txt\n"), std::string::npos) << lsText.out;
    EXPECT_NE(lsText.out.find("  sub/\n"), std::string::npos) << lsText.out;
    auto top = byName(cli({ "--json", "ls" }).json());
    ASSERT_TRUE(top.count("big.bin"));
    EXPECT_EQ(top["big.bin"]["size"], big.size());
    EXPECT_EQ(top["big.bin"]["key"], "/FILE/big.bin");
    EXPECT_EQ(top["tree"]["type"], "folder");
    EXPECT_EQ(byName(cli({ "--json", "ls", "my:/tree" }).json()).count(".hidden"), 0u);

    const CliResult getFile = cli({ "get", "my:/big.bin", (work_ / "back.bin").string() });
    ASSERT_EQ(getFile.exitStatus, 0) << getFile.err;
    EXPECT_EQ(readWhole(work_ / "back.bin"), big);
    fs::create_directories(work_ / "into");
    const CliResult getTree = cli({ "--json", "get", "my:/tree", (work_ / "into").string() });
    ASSERT_EQ(getTree.exitStatus, 0) << getTree.err;
    EXPECT_EQ(getTree.json()["local"], (work_ / "into" / "tree").string());
    EXPECT_EQ(readWhole(work_ / "into" / "tree" / "a.txt"), "alpha\n");
    EXPECT_EQ(readWhole(work_ / "into" / "tree" / "sub" / "b.bin"), readWhole(work_ / "tree" / "sub" / "b.bin"));
    EXPECT_EQ(readWhole(work_ / "into" / "tree" / "sub" / "deeper" / "c.txt"), "gamma\n");
    EXPECT_FALSE(fs::exists(work_ / "into" / "tree" / ".hidden"));

    // A tree is never merged into a folder that is there already, either way.
    const CliResult again = cli({ "--json", "get", "my:/tree", (work_ / "into").string() });
    EXPECT_EQ(again.exitStatus, 5);
    EXPECT_EQ(cli({ "put", (work_ / "tree").string(), "my:/" }).exitStatus, 5);

    // Replacing a file is asked first: declined, the server keeps the old content.
    writeFile(work_ / "big.bin", "replaced\n");
    EXPECT_EQ(cli({ "--no", "put", (work_ / "big.bin").string(), "my:/" }).exitStatus, 5);
    EXPECT_EQ(cli({ "put", (work_ / "big.bin").string(), "my:/" }).exitStatus, 5); // no terminal: declined
    EXPECT_EQ(cli({ "--no", "get", "my:/big.bin", (work_ / "back.bin").string() }).exitStatus, 5);
    EXPECT_EQ(readWhole(work_ / "back.bin"), big);
    ASSERT_EQ(cli({ "--yes", "put", (work_ / "big.bin").string(), "my:/" }).exitStatus, 0);
    ASSERT_EQ(cli({ "--yes", "get", "my:/big.bin", (work_ / "back.bin").string() }).exitStatus, 0);
    EXPECT_EQ(readWhole(work_ / "back.bin"), "replaced\n");

    EXPECT_EQ(cli({ "put", (work_ / "missing.txt").string(), "my:/" }).exitStatus, 66);
    EXPECT_EQ(cli({ "get", "my:/nothing.txt", work_.string() }).exitStatus, 9);
}

TEST_F(CliEndToEnd, FolderFileAndPermissionCommandsChangeTheTreeAndRefusalsExitWithTheirResult)
{
    makeCompany();
    signIn();
    writeFile(work_ / "note.txt", "note\n");
    ASSERT_EQ(cli({ "put", (work_ / "note.txt").string(), "my:/" }).exitStatus, 0);

    EXPECT_EQ(cli({ "mkdir", "my:/A" }).exitStatus, 0);
    const CliResult mkdirJson = cli({ "--json", "mkdir", "my:/B", "my:/A/inner" });
    EXPECT_EQ(mkdirJson.json()["created"], nlohmann::json({ "my:/B", "my:/A/inner" })) << mkdirJson.out;
    EXPECT_EQ(cli({ "mkdir", "my:/A" }).exitStatus, 5);
    EXPECT_EQ(cli({ "mkdir", "my:/bad:name" }).exitStatus, 2); // the name rules of the desktop

    EXPECT_EQ(cli({ "cp", "my:/note.txt", "my:/A" }).exitStatus, 0);
    const CliResult copyJson = cli({ "--json", "cp", "my:/note.txt", "my:/A/inner", "my:/B" });
    EXPECT_EQ(copyJson.exitStatus, 0) << copyJson.err;
    EXPECT_EQ(copyJson.json()["copied"][1]["to"], "my:/B/inner") << copyJson.out;
    // B holds a note.txt already: replacing it is asked, and without a terminal declined.
    EXPECT_EQ(cli({ "mv", "my:/A/note.txt", "my:/B" }).exitStatus, 5);
    EXPECT_EQ(byName(cli({ "--json", "ls", "my:/A" }).json()).count("note.txt"), 1u);
    EXPECT_EQ(cli({ "--yes", "mv", "my:/A/note.txt", "my:/B" }).exitStatus, 0);
    const CliResult moveJson = cli({ "--json", "mv", "my:/B/note.txt", "my:/B/moved.txt" });
    EXPECT_EQ(moveJson.json()["moved"][0]["to"], "my:/B/moved.txt") << moveJson.out;
    EXPECT_EQ(cli({ "mv", "my:/A/inner", "my:/B" }).exitStatus, 5); // B has its copy already
    EXPECT_EQ(cli({ "rename", "my:/B/inner", "renamed" }).exitStatus, 0);
    const CliResult renameJson = cli({ "--json", "rename", "my:/B/moved.txt", "final.txt" });
    EXPECT_EQ(renameJson.json()["renamed"]["to"], "my:/B/final.txt");
    auto b = byName(cli({ "--json", "ls", "my:/B" }).json());
    EXPECT_EQ(b.size(), 2u);
    EXPECT_TRUE(b.count("final.txt") && b.count("renamed"));
    auto a = byName(cli({ "--json", "ls", "my:/A" }).json());
    EXPECT_EQ(a.size(), 1u);
    EXPECT_TRUE(a.count("inner"));
    // A folder moves with its content, into a folder or to a new name.
    EXPECT_EQ(cli({ "mv", "my:/A/inner", "my:/B/renamed" }).exitStatus, 0);
    EXPECT_EQ(cli({ "mv", "my:/B/renamed/inner", "my:/A/back" }).exitStatus, 0);
    EXPECT_EQ(byName(cli({ "--json", "ls", "my:/A" }).json()).count("back"), 1u);

    EXPECT_EQ(cli({ "lock", "my:/B/final.txt" }).exitStatus, 0);
    EXPECT_EQ(byName(cli({ "--json", "ls", "my:/B" }).json())["final.txt"]["lockedBy"], "Member ann");
    EXPECT_EQ(cli({ "--json", "unlock", "my:/B/final.txt" }).json()["files"][0]["result"], 1);
    EXPECT_TRUE(byName(cli({ "--json", "ls", "my:/B" }).json())["final.txt"]["lockedBy"].is_null());
    EXPECT_EQ(cli({ "lock", "my:/B" }).exitStatus, 2); // folders are not locked

    EXPECT_EQ(cli({ "chmod", "my:/B/final.txt", "off" }).exitStatus, 0);
    EXPECT_EQ(byName(cli({ "--json", "ls", "my:/B" }).json())["final.txt"]["editPermission"], 0);
    EXPECT_EQ(cli({ "--json", "chmod", "my:/B/final.txt", "on" }).json()["editPermission"], 1);
    EXPECT_EQ(byName(cli({ "--json", "ls", "my:/B" }).json())["final.txt"]["editPermission"], 1);

    const CliResult search = cli({ "search", "my:/", "final" });
    EXPECT_NE(search.out.find("my:/B/final.txt"), std::string::npos) << search.out;
    const nlohmann::json byAuthor = cli({ "--json", "search", "my:/B", "Member ann", "--author" }).json();
    EXPECT_EQ(byAuthor["by"], "author");
    EXPECT_GE(byAuthor["entries"].size(), 2u) << byAuthor.dump();

    // Deleting asks first; without a terminal or --yes nothing goes.
    EXPECT_EQ(cli({ "rm", "my:/B" }).exitStatus, 4);
    EXPECT_TRUE(byName(cli({ "--json", "ls" }).json()).count("B"));
    EXPECT_EQ(cli({ "--yes", "rm", "my:/B" }).exitStatus, 0);
    const CliResult rmJson = cli({ "--yes", "--json", "rm", "my:/A/note.txt", "my:/note.txt" });
    EXPECT_EQ(rmJson.exitStatus, 9); // the first refusal decides; the other path still went
    EXPECT_EQ(rmJson.json()["deleted"], nlohmann::json({ "my:/note.txt" }));
    EXPECT_EQ(rmJson.json()["resultName"], "not-found");
    auto rest = byName(cli({ "--json", "ls" }).json());
    EXPECT_FALSE(rest.count("B") || rest.count("note.txt"));
    EXPECT_TRUE(rest.count("A"));
}

TEST_F(CliEndToEnd, SharedAreaPathsReachTheCompanysSharedFolders)
{
    makeCompany();
    ASSERT_LT(server_->createSharedFolder(company_, "Team", { "ann" }).status, 300);
    signIn();
    const fs::path other = folder_ / "ben";
    signIn("ben", other);
    writeFile(work_ / "plan.txt", "plan\n");
    writeFile(work_ / "drafts" / "d1.txt", "draft\n");

    // Whether others may edit what goes into the shared area is asked; no answer, no upload.
    EXPECT_EQ(cli({ "put", (work_ / "plan.txt").string(), "shared:/Team" }).exitStatus, 4);
    ASSERT_EQ(
        cli({ "--yes", "put", (work_ / "plan.txt").string(), (work_ / "drafts").string(), "shared:/Team" }).exitStatus,
        0);
    auto team = byName(cli({ "--json", "ls", "shared:/Team" }, {}, {}, other).json());
    ASSERT_TRUE(team.count("plan.txt") && team.count("drafts"));
    EXPECT_EQ(team["plan.txt"]["key"], "/SHAREFILE/Team/plan.txt");
    EXPECT_EQ(team["plan.txt"]["path"], "shared:/Team/plan.txt");
    EXPECT_EQ(team["plan.txt"]["editPermission"], 1);
    EXPECT_EQ(team["plan.txt"]["ownerName"], "Member ann");
    ASSERT_EQ(cli({ "get", "shared:/Team/drafts/d1.txt", (work_ / "d1.txt").string() }, {}, {}, other).exitStatus, 0);
    EXPECT_EQ(readWhole(work_ / "d1.txt"), "draft\n");
    EXPECT_NE(
        cli({ "search", "shared:/", "d1" }, {}, {}, other).out.find("shared:/Team/drafts/d1.txt"), std::string::npos);
    // Copied from the personal area, the answer "no" leaves the copy to its owner.
    ASSERT_EQ(cli({ "put", (work_ / "plan.txt").string(), "my:/" }).exitStatus, 0);
    ASSERT_EQ(cli({ "--no", "mkdir", "shared:/Team/mine" }).exitStatus, 0);
    ASSERT_EQ(cli({ "--no", "cp", "my:/plan.txt", "shared:/Team/mine" }).exitStatus, 0);
    EXPECT_EQ(byName(cli({ "--json", "ls", "shared:/Team/mine" }).json())["plan.txt"]["editPermission"], 0);
}

TEST_F(CliEndToEnd, SharedLinksDownloadWithTheirPasswordAndPrintJobsAreListed)
{
    makeCompany();
    signIn();
    const std::string content = randomContent(5000, 3);
    writeFile(work_ / "doc.pdf", content);
    ASSERT_EQ(cli({ "put", (work_ / "doc.pdf").string(), "my:/" }).exitStatus, 0);

    const CliResult share = cli({ "--json", "share", "my:/doc.pdf", "--days", "2", "--count", "3" });
    ASSERT_EQ(share.exitStatus, 0) << share.err;
    const nlohmann::json link = share.json();
    const std::string url = link["url"];
    const std::string key = link["downloadPassword"];
    ASSERT_TRUE(url.starts_with("http://127.0.0.1:")) << url;
    EXPECT_EQ(httpRequest("GET", url + "?password=" + key).body, content);
    EXPECT_NE(httpRequest("GET", url + "?password=0000" + key).body, content);
    const CliResult shareText = cli({ "share", "my:/doc.pdf" });
    EXPECT_NE(shareText.out.find("link:        http://"), std::string::npos) << shareText.out;
    EXPECT_EQ(cli({ "share", "my:/doc.pdf", "--days", "100000" }).exitStatus, 64);
    EXPECT_EQ(cli({ "share", "my:/" }).exitStatus, 2);

    const CliResult print = cli({ "--json", "print", "my:/doc.pdf", "--password", "0123", "--days", "3" });
    ASSERT_EQ(print.exitStatus, 0) << print.err;
    const std::string printId = print.json()["job"]["printId"];
    EXPECT_EQ(printId.size(), 8u);
    EXPECT_NE(cli({ "print", "my:/doc.pdf" }).out.find("doc.pdf"), std::string::npos);
    const CliResult jobs = cli({ "jobs" });
    EXPECT_NE(jobs.out.find(printId), std::string::npos) << jobs.out;
    const nlohmann::json jobsJson = cli({ "--json", "jobs" }).json();
    ASSERT_EQ(jobsJson["jobs"].size(), 2u) << jobsJson.dump();
    EXPECT_EQ(jobsJson["jobs"][0]["fileName"], "doc.pdf");
    // The print dialog's password rule holds before anything is sent.
    const CliResult badPin = cli({ "--json", "print", "my:/doc.pdf", "--password", "12a4" });
    EXPECT_EQ(badPin.exitStatus, 2);
    EXPECT_EQ(badPin.json()["alerts"].size(), 1u);
    EXPECT_EQ(cli({ "--json", "jobs" }).json()["jobs"].size(), 2u);
}

TEST_F(CliEndToEnd, PasswordChangeAndDeviceRegistrationFollowTheServer)
{
    makeCompany(true);
    const std::string address = "127.0.0.1:" + std::to_string(server_->port());
    ASSERT_EQ(cli({ "config", "--server", address, "--http" }).exitStatus, 0);
    EXPECT_EQ(cli({ "device-id" }).out, "-\n");
    // A company that admits registered devices only: refused until this one is registered.
    const CliResult refused = cli({ "--json", "login", company_, "ann", "--password-stdin" }, password("ann") + "\n");
    EXPECT_EQ(refused.exitStatus, 16);
    EXPECT_EQ(refused.json()["resultName"], "device-not-authorized");
    const CliResult made = cli({ "--json", "device-id", "--new" });
    const std::string device = made.json()["deviceId"];
    ASSERT_TRUE(device.starts_with("dc09") && device.size() == 36) << device;
    EXPECT_EQ(cli({ "device-id" }).out, device + "\n");
    ASSERT_LT(server_->registerDevice(company_, "ann", device).status, 300);
    ASSERT_EQ(cli({ "login", company_, "ann", "--password-stdin" }, password("ann") + "\n").exitStatus, 0);

    const CliResult changed = cli({ "passwd", "--password-stdin" }, password("ann") + "\nfresh-one\nfresh-one\n");
    ASSERT_EQ(changed.exitStatus, 0) << changed.err;
    EXPECT_EQ(cli({ "ls" }).exitStatus, 0); // the stored password follows the change
    const CliResult mismatch = cli({ "--json", "passwd", "--password-stdin" }, "fresh-one\nnew-a\nnew-b\n");
    EXPECT_EQ(mismatch.exitStatus, 15);
    EXPECT_EQ(mismatch.json()["alerts"][0]["message"], "The new passwords do not match.") << mismatch.out;
    EXPECT_NE(cli({ "login", company_, "ann", "--password-stdin" }, password("ann") + "\n").exitStatus, 0);
    EXPECT_EQ(cli({ "login", company_, "ann", "--password-stdin" }, "fresh-one\n").exitStatus, 0);
}

TEST_F(CliEndToEnd, AlertsSpeakTheUsersLanguageAndBadCommandLinesExitWith64)
{
    makeCompany();
    signIn();
    const CliResult japanese = cli({ "--json", "rm", "my:/nothing" }, {}, { { "LANGUAGE", "ja" } });
    EXPECT_EQ(japanese.exitStatus, 9);
    EXPECT_EQ(japanese.json()["alerts"][0]["message"], "ファイルまたはフォルダが見つかりません: my:/nothing");
    EXPECT_NE(japanese.err.find("ファイルまたはフォルダが見つかりません"), std::string::npos);

    const CliResult usage = cli({ "--json", "rm" });
    EXPECT_EQ(usage.exitStatus, 64);
    EXPECT_EQ(usage.json()["error"], "usage: norvane-cli rm PATH... (norvane-cli --help)");
    EXPECT_EQ(cli({ "ls", "/FOLDER" }).exitStatus, 64);
    EXPECT_EQ(cli({ "--yes", "--no", "ls" }).exitStatus, 64);
    // A password offered on the command line is refused and repeated nowhere.
    const CliResult leaked = cli({ "config", "--proxy", "p:8080", "--proxy-pass", "s3cret-word" });
    EXPECT_EQ(leaked.exitStatus, 64);
    EXPECT_EQ((leaked.out + leaked.err).find("s3cret-word"), std::string::npos);
    // A proxy password comes from standard input and is kept, but never shown.
    const fs::path proxied = folder_ / "proxied";
    const CliResult proxy
        = cli({ "--json", "config", "--proxy", "127.0.0.1:3128", "--proxy-user", "pu", "--proxy-pass" },
            "proxy-secret\n", {}, proxied);
    ASSERT_EQ(proxy.exitStatus, 0) << proxy.err;
    EXPECT_EQ(proxy.json()["config"]["proxy"]["address"], "127.0.0.1:3128");
    EXPECT_EQ(proxy.json()["config"]["proxy"]["passwordSet"], true);
    EXPECT_EQ((proxy.out + proxy.err).find("proxy-secret"), std::string::npos);
    const nlohmann::json cleared = cli({ "--json", "config", "--no-proxy" }, {}, {}, proxied).json();
    EXPECT_EQ(cleared["config"]["proxy"], nlohmann::json({ { "enabled", false } }));
    const CliResult help = cli({ "--help" });
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_NE(help.out.find("   9  no such file or folder"), std::string::npos) << help.out;
}

TEST_F(CliEndToEnd, AnEditedFileIsUploadedOncePerChangedSave)
{
    makeCompany();
    signIn();
    writeFile(work_ / "memo.txt", "first\n");
    ASSERT_EQ(cli({ "put", (work_ / "memo.txt").string(), "my:/" }).exitStatus, 0);
    // A second profile of the same user reads what the server holds.
    const fs::path reader = folder_ / "reader";
    signIn("ann", reader);
    const auto serverContent = [&] {
        fs::remove(work_ / "seen.txt");
        cli({ "get", "my:/memo.txt", (work_ / "seen.txt").string() }, {}, {}, reader);
        return readWhole(work_ / "seen.txt");
    };

    // The editor tells the test where the copy is and then waits, as an open editor would.
    const fs::path marker = folder_ / "editing";
    const fs::path editor = folder_ / "editor.sh";
    writeFile(editor, "#!/bin/sh\nprintf '%s' \"$1\" > " + marker.string() + "\nexec sleep 60\n");
    fs::permissions(editor, fs::perms::owner_all);
    CliProcess edit(NORVANE_CLI_BINARY, { "--home", home_.string(), "--json", "edit", "my:/memo.txt" },
        { { "EDITOR", editor.string() } }, folder_ / "edit");
    const auto waitFor = [](const std::function<bool()>& condition) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!condition() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return condition();
    };
    ASSERT_TRUE(waitFor([&] { return !readWhole(marker).empty(); })) << edit.err();
    const fs::path local = readWhole(marker);
    EXPECT_EQ(readWhole(local), "first\n");

    // Written in place.
    {
        std::ofstream(local, std::ios::binary | std::ios::trunc) << "second\n";
    }
    ASSERT_TRUE(waitFor([&] { return count(edit.err(), "Uploaded my:/memo.txt") == 1; })) << edit.err();
    EXPECT_EQ(serverContent(), "second\n");
    // Another command on the same home works beside it and leaves the copy alone.
    EXPECT_EQ(cli({ "ls" }).exitStatus, 0);
    EXPECT_EQ(readWhole(local), "second\n");

    // Written beside it and renamed over it, as many editors save.
    writeFile(local.string() + ".swp", "third, longer than before\n");
    fs::rename(local.string() + ".swp", local);
    ASSERT_TRUE(waitFor([&] { return count(edit.err(), "Uploaded my:/memo.txt") == 2; })) << edit.err();
    EXPECT_EQ(serverContent(), "third, longer than before\n");

    // Saved again unchanged: nothing more goes up. A batch and its settle time pass first.
    {
        std::ofstream(local, std::ios::binary | std::ios::trunc) << "third, longer than before\n";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(3000));
    edit.signal(SIGTERM);
    const CliResult ended = edit.wait(std::chrono::seconds(20));
    EXPECT_EQ(ended.exitStatus, 0) << ended.err;
    EXPECT_EQ(count(ended.err, "Uploaded my:/memo.txt"), 2u) << ended.err;
    EXPECT_EQ(ended.json()["uploads"].size(), 2u) << ended.out;
    EXPECT_EQ(serverContent(), "third, longer than before\n");
}

TEST_F(CliEndToEnd, AnInterruptStopsATransferWithoutLeavingAPartialFile)
{
    makeCompany();
    signIn();
    writeFile(work_ / "slow.bin", randomContent(300'000, 4));
    ASSERT_EQ(cli({ "put", (work_ / "slow.bin").string(), "my:/" }).exitStatus, 0);
    // The server sits on the download for far longer than the test waits.
    ASSERT_LT(server_->setFaults(R"([{"method": "GET", "path": "/FILE/slow.bin", "delayMs": 30000}])").status, 300);
    const fs::path target = work_ / "fetched.bin";
    CliProcess get(NORVANE_CLI_BINARY, { "--home", home_.string(), "--json", "get", "my:/slow.bin", target.string() },
        {}, folder_ / "interrupted");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (
        get.err().find("Downloading my:/slow.bin") == std::string::npos && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto interrupted = std::chrono::steady_clock::now();
    get.signal(SIGINT);
    const CliResult ended = get.wait(std::chrono::seconds(20));
    server_->clearFaults();
    EXPECT_LT(std::chrono::steady_clock::now() - interrupted, std::chrono::seconds(10));
    EXPECT_EQ(ended.exitStatus, 4) << ended.err;
    EXPECT_EQ(ended.json()["error"], "interrupted");
    EXPECT_FALSE(fs::exists(target));
}

TEST_F(CliEndToEnd, ABigFolderIsListedWholeInOrderAsLinesOrAsOneJsonObjectAndLeavesNoFileBehind)
{
    makeCompany();
    signIn();
    ASSERT_EQ(cli({ "mkdir", "my:/big" }).exitStatus, 0);
    const nlohmann::json bulk { { "company", company_ }, { "user", "ann" }, { "folder", "/FOLDER/big" },
        { "count", 2500 }, { "prefix", "n" } };
    const HttpReply made = server_->control("POST", "/_control/bulk-files", bulk.dump());
    ASSERT_EQ(made.status, 200) << made.body;
    writeFile(work_ / "A-first.txt", "sorted before the n's, ignoring case\n");
    ASSERT_EQ(cli({ "put", (work_ / "A-first.txt").string(), "my:/big" }).exitStatus, 0);

    const CliResult text = cli({ "ls", "my:/big" });
    ASSERT_EQ(text.exitStatus, 0) << text.err;
    EXPECT_EQ(count(text.out, "\n"), 2501u);
    EXPECT_TRUE(text.out.starts_with("-e-")) << text.out.substr(0, 200);
    EXPECT_NE(text.out.find("  A-first.txt\n"), std::string::npos);
    EXPECT_TRUE(text.out.ends_with("  n0002499\n")) << text.out.substr(text.out.size() - 200);

    const CliResult json = cli({ "--json", "ls", "my:/big" });
    ASSERT_EQ(json.exitStatus, 0) << json.err;
    const nlohmann::json object = json.json();
    ASSERT_TRUE(object.is_object()) << json.out.substr(0, 300);
    EXPECT_EQ(object["ok"], true);
    ASSERT_EQ(object["entries"].size(), 2501u);
    EXPECT_EQ(object["entries"][0]["name"], "A-first.txt");
    EXPECT_EQ(object["entries"][1]["path"], "my:/big/n0000000");
    EXPECT_EQ(object["entries"][2500]["name"], "n0002499");
    EXPECT_EQ(object["entries"][2500]["size"], 0);
    // The body went through the temporary area and is gone again.
    const fs::path listings = home_ / "tmp" / "listing";
    EXPECT_TRUE(!fs::exists(listings) || fs::is_empty(listings));
    // An entry of it is found through its parent's listing.
    EXPECT_EQ(cli({ "get", "my:/big/n0001234", (work_ / "one").string() }).exitStatus, 0);
    EXPECT_TRUE(fs::exists(work_ / "one"));
}

} // namespace
} // namespace norvane::test
