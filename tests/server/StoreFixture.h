#pragma once

// A store on a fresh data folder with one company (code "acme"), the users alice, bob and carol,
// and the shared folder "Team" that carol manages.

#include "server/store/ServerStore.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace norvane::server::testing {

namespace fs = std::filesystem;

class StoreFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Memory-backed when the machine has it: the many syncs of a store cost nothing there.
        const fs::path base = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
        std::string pattern = (base / "norvane-store-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        reopen();
        Company acme;
        acme.code = "acme";
        acme.name = "Acme";
        auto created = store->createCompany(acme);
        ASSERT_TRUE(created);
        company = created.value();
        alice = makeUser("alice", "Alice A");
        bob = makeUser("bob", "Bob B");
        carol = makeUser("carol", "Carol C");
        auto team = store->createSharedFolder(company.id, "Team", { carol.id });
        ASSERT_TRUE(team) << team.failure().detail;
    }

    void TearDown() override
    {
        store.reset();
        fs::remove_all(dir);
    }

    // Closes the store and opens it again on the same folder, as a restarted server would.
    void reopen()
    {
        store.reset();
        auto opened = ServerStore::open(dir);
        ASSERT_TRUE(opened) << opened.failure().detail;
        store = std::move(opened.value());
    }

    User makeUser(const std::string& login, const std::string& fullName)
    {
        auto user = store->createUser(company.id, login, fullName, login + "-secret");
        EXPECT_TRUE(user) << user.failure().detail;
        return user ? user.value() : User {};
    }

    // A user of a company of its own, who has no business in acme's areas.
    User outsider()
    {
        Company other;
        other.code = "other";
        auto otherCompany = store->createCompany(other);
        EXPECT_TRUE(otherCompany) << otherCompany.failure().detail;
        auto user = otherCompany ? store->createUser(otherCompany->id, "mallory", "M", "pw")
                                 : StoreResult<User>(otherCompany.failure());
        EXPECT_TRUE(user) << user.failure().detail;
        return user ? user.value() : User {};
    }

    AreaRef mine(const User& user) const { return store->personalArea(user); }
    AreaRef shared() const { return { Area::Shared, company.id }; }

    Entry put(const User& user, const AreaRef& area, const std::vector<std::string>& path, const std::string& content,
        const EntryMeta& meta = {})
    {
        auto entry = store->putFile(user, area, path, content, meta);
        EXPECT_TRUE(entry) << entry.failure().detail;
        return entry ? entry.value() : Entry {};
    }

    Entry get(const AreaRef& area, const std::vector<std::string>& path)
    {
        auto entry = store->lookup(area, path);
        EXPECT_TRUE(entry) << "missing " << path.size();
        return entry ? entry.value() : Entry {};
    }

    std::string content(const Entry& entry)
    {
        std::ifstream in(store->blobPath(entry.blobId), std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        return bytes.str();
    }

    // Runs SQL on the database beside the store (WAL lets both work at once): for states that
    // no call can produce, such as an expired link.
    void sql(const std::string& text)
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open((dir / "norvane.db").c_str(), &db), SQLITE_OK);
        sqlite3_busy_timeout(db, 5000);
        char* message = nullptr;
        EXPECT_EQ(sqlite3_exec(db, text.c_str(), nullptr, nullptr, &message), SQLITE_OK) << (message ? message : "");
        sqlite3_free(message);
        sqlite3_close(db);
    }

    std::size_t filesIn(const fs::path& folder)
    {
        std::size_t count = 0;
        for (const auto& item : fs::recursive_directory_iterator(folder))
            count += item.is_regular_file() ? 1 : 0;
        return count;
    }

    fs::path dir;
    std::unique_ptr<ServerStore> store;
    Company company;
    User alice;
    User bob;
    User carol;
};

} // namespace norvane::server::testing
