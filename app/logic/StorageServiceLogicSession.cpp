#include "app/logic/StorageServiceLogic.h"

#include "CloudServiceSDKForMac/CloudService/CommandFactory.h"
#include "app/logic/OperationEnvironment.h"
#include "app/logic/Path.h"
#include "app/logic/StorageServiceLogicSupport.h"

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>

namespace norvane {

using namespace logic;

namespace {

constexpr const char* kBackupFolderKey = "/FOLDER/BackupFolder";

// One lock per folder entry while it is being listed, made on demand and dropped when nobody
// holds or waits for it.
class EntryLocks {
public:
    class Guard {
    public:
        Guard(EntryLocks& locks, const void* entry)
            : locks_(locks)
            , entry_(entry)
        {
            locks_.acquire(entry_);
        }
        ~Guard() { locks_.release(entry_); }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;

    private:
        EntryLocks& locks_;
        const void* entry_;
    };

    static EntryLocks& instance()
    {
        // Never destroyed: a worker may still be releasing its guard while the process exits.
        static EntryLocks* locks = new EntryLocks;
        return *locks;
    }

private:
    struct Slot {
        bool held = false;
        std::size_t users = 0;
    };

    void acquire(const void* entry)
    {
        std::unique_lock lock(mutex_);
        Slot& slot = slots_[entry];
        ++slot.users;
        changed_.wait(lock, [&] { return !slot.held; });
        slot.held = true;
    }

    void release(const void* entry)
    {
        {
            std::lock_guard lock(mutex_);
            auto found = slots_.find(entry);
            found->second.held = false;
            if (--found->second.users == 0)
                slots_.erase(found);
        }
        changed_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<const void*, Slot> slots_;
};

char lowerAscii(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The order of the two names with ASCII letters folded to lower case, byte by byte as the
// folded strings would compare: negative, zero or positive.
int compareFoldingAscii(std::string_view a, std::string_view b)
{
    const std::size_t common = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < common; ++i) {
        const auto x = static_cast<unsigned char>(lowerAscii(a[i]));
        const auto y = static_cast<unsigned char>(lowerAscii(b[i]));
        if (x != y)
            return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : a.size() < b.size() ? -1 : 1;
}

std::string optionText(const ValueMap& options, const char* key)
{
    auto found = options.find(key);
    if (found == options.end())
        return {};
    if (const std::string* text = found->second.string())
        return *text;
    return found->second.isNumber() ? std::to_string(found->second.toInt64()) : std::string();
}

} // namespace

void StorageServiceLogic::commonLogin(bool autoLogin, ResultCallback comple)
{
    runInBackground([autoLogin, comple = std::move(comple)] {
        const auto finish = [&comple](std::int32_t result, bool startTimer) {
            onMain([&] {
                if (comple)
                    comple(result);
                if (startTimer)
                    if (auto environment = OperationEnvironment::shared())
                        environment->startAutoLogoutTime();
            });
        };

        auto connect = CommandFactory::makeConnectCommand();
        const std::int32_t probe = runCommand(connect);
        if (probe != ResultSuccess) {
            finish(probe == ResultUnreachable ? ResultUnreachable : ResultConnectFailed, false);
            return;
        }

        const AccountSettings account = accountSettings();
        auto login = CommandFactory::makeLoginCommand(
            account.companyCode + "," + account.userName + "," + account.userPass + "," + account.deviceID);
        login->inputParameter->cmdOption["isAutoLogin"] = autoLogin ? "1" : "0";
        const std::int32_t result = runCommand(login);
        if (result != ResultSuccess) {
            finish(result, false);
            return;
        }

        const ValueMap& out = login->outputParameter->cmdOption;
        LoginValues values;
        values.information = optionText(out, "Information");
        values.spaceSize = optionText(out, "SpaceSize");
        values.usedSpaceSize = optionText(out, "UsedSpaceSize");
        values.fullName = optionText(out, "UserName");
        values.userKey = optionText(out, "UserKey");
        values.kigyoID = optionText(out, "KigyoID");
        values.authorization = optionText(out, "Authorization");
        values.lastLoginTime = nowRfc1123();
        if (auto environment = OperationEnvironment::shared())
            environment->storeLoginValues(values);
        finish(ResultSuccess, true);
    });
}

void StorageServiceLogic::commonLogout(ResultCallback comple)
{
    runInBackground([comple = std::move(comple)] {
        const std::int32_t result = runCommand(CommandFactory::makeLogoutCommand());
        onMain([&] {
            if (comple)
                comple(result);
            if (auto environment = OperationEnvironment::shared())
                environment->stopAutoLogoutTime();
        });
    });
}

void StorageServiceLogic::commonChangePassword(ResultCallback comple)
{
    runInBackground([comple = std::move(comple)] {
        const AccountSettings account = accountSettings();
        auto command = CommandFactory::makeChangePasswordCommand(
            account.companyCode + "," + account.userName + "," + account.oldPass + "," + account.theNewPass);
        const std::int32_t result = runCommand(command);
        switch (result) {
        case ResultSuccess:
            showAlert("message_password_change", "message_password_changed");
            break;
        case ResultUnreachable:
            showNetworkError();
            break;
        case ResultCancelled:
        case ResultPasswordChangeFailed:
        case ResultDeviceNotAuthorized:
        case ResultAccountSuspended:
            break;
        case ResultInvalidArgument:
            showAlert("message_error_bad_requst_400", "");
            break;
        case ResultBadRequest:
            showAlert("message_network_error_ex_css", "");
            break;
        default:
            showAlert("warning", "get_folder_failed");
            break;
        }
        onMain([&] {
            if (comple)
                comple(result);
        });
    });
}

void StorageServiceLogic::getFolderInfo(
    const std::shared_ptr<fileInformation>& folder, bool silentFlag, const ValueMap&, ResultCallback comple)
{
    runInBackground([folder, silentFlag, comple = std::move(comple)] {
        if (!folder) {
            onMain([&] {
                if (comple)
                    comple(ResultFailed);
            });
            return;
        }
        std::int32_t result = ResultNone;
        {
            EntryLocks::Guard guard(EntryLocks::instance(), folder.get());
            auto command = CommandFactory::makeLsCommand(Path::urlPathFromPath(folder->uk.value_or("")));
            result = runCommand(command);

            FileInfoList children;
            if (const auto& listed = command->outputParameter->fileInfo) {
                for (const auto& entry : *listed) {
                    if (!entry)
                        continue;
                    if (folder->isManager)
                        entry->isManager = true;
                    if (folder->isReadOnly)
                        entry->isReadOnly = true;
                    if (filterFile(*entry)) {
                        setFileType(*entry);
                        children.push_back(entry);
                    }
                }
            }
            if (folder->uk == "/FOLDER") {
                auto favourites = std::make_shared<fileInformation>();
                favourites->fileType = 1;
                favourites->uk = "/FOLDER/.Favorite.";
                favourites->fullPath = "/.Favorite";
                favourites->displayName = "お気に入り";
                children.push_back(favourites);
            }
            sortListing(children);

            if (result != ResultSuccess && !silentFlag && result == ResultTimedOut)
                showAlert("message_net_timeout", "");
            // The window reads childrens on the main queue: the new list replaces the old one there.
            onMain([&] {
                folder->childrens = std::move(children);
                if (comple)
                    comple(result);
            });
        }
    });
}

void StorageServiceLogic::sortListing(FileInfoList& entries)
{
    std::stable_sort(entries.begin(), entries.end(),
        [](const std::shared_ptr<fileInformation>& a, const std::shared_ptr<fileInformation>& b) {
            const bool aFolder = a->fileType != 0;
            const bool bFolder = b->fileType != 0;
            if (aFolder != bFolder)
                return aFolder;
            if (aFolder) {
                const bool aBackup = a->uk == kBackupFolderKey;
                const bool bBackup = b->uk == kBackupFolderKey;
                if (aBackup != bBackup)
                    return aBackup;
            }
            // Compared in place: a listing of a million entries makes some twenty million
            // comparisons, which must not each copy and fold two names.
            const std::string_view aName = a->displayName ? std::string_view(*a->displayName) : std::string_view();
            const std::string_view bName = b->displayName ? std::string_view(*b->displayName) : std::string_view();
            const int folded = compareFoldingAscii(aName, bName);
            if (folded != 0)
                return folded < 0;
            return aName < bName;
        });
}

} // namespace norvane
