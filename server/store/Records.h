#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace norvane::server {

struct Company {
    std::int64_t id = 0;
    std::string code; // what the user types as the company code
    std::string name;
    bool requireDevice = false; // logins only from registered device ids
    std::int64_t maxFileSize = 0; // bytes; 0 = no limit
    std::int64_t quota = 0; // bytes per user; 0 = no limit
    std::map<std::string, std::string> policyHeaders; // header name -> value, sent on every response
    std::string informationSeq; // "X-Zel-Informationseq"
    std::string informationText;
};

struct User {
    std::int64_t id = 0;
    std::int64_t companyId = 0;
    std::string login; // the user name typed at login; the "owner"/"author" of what they make
    std::string fullName; // "ownername"/"authorname"
    std::string userKey; // stable, random; fourth part of the authorization value
    bool suspended = false;
};

// A logged-in device of a user. The authorization value of storage requests is
// qorId:varId:companyId:userKey.
struct Session {
    std::string qorId;
    std::string varId;
    std::int64_t userId = 0;
    std::string deviceId;
    std::int64_t createdAt = 0; // unix seconds
    std::int64_t lastUsedAt = 0; // unix seconds, to the minute
};

// A login or a password check as the throttle sees it: the account as it was named (company code
// and login, also when there is no such account) and the address it came from.
struct LoginAttempt {
    std::string account;
    std::string address;
};

enum class Area { Personal, Shared };

// Which tree: a user's personal area or a company's shared area.
struct AreaRef {
    Area area = Area::Personal;
    std::int64_t ownerId = 0; // user id (personal) or company id (shared)
    friend bool operator==(const AreaRef&, const AreaRef&) = default;
};

struct Entry {
    std::int64_t id = 0;
    std::int64_t parentId = 0; // 0 for the root of an area
    AreaRef area;
    std::string name; // "" for the root
    bool isFolder = false;
    std::int64_t size = 0;
    std::string blobId; // files only
    std::string md5; // lowercase hex, files only
    std::int64_t createdAt = 0; // unix seconds
    std::int64_t modifiedAt = 0; // unix seconds
    std::string timestamp; // version text; changes whenever the content changes
    std::string owner;
    std::string ownerName;
    std::string author;
    std::string authorName;
    std::string creationDate; // as the client sent it
    std::string deviceId;
    int editPermission = 0;
    bool readOnly = false;
    std::string lockUserId;
    std::string lockUserName;
    std::string lockStartTime;
    std::string actionType; // "COPY" while a background copy runs
    std::string actionFileType;
    std::string actionProgress;
    std::string actionSrc;
    std::string actionDest;
    std::vector<std::string> path; // components from the area root, filled by lookups
};

// Descriptive fields that come with an upload, a copy or a folder creation. Who owns and who wrote
// an entry is never among them: that is the account of the session that makes it.
struct EntryMeta {
    std::optional<std::string> creationDate;
    std::optional<std::int64_t> modifiedAt;
    std::optional<int> editPermission;
    std::string deviceId;
};

// What one user may do with one entry, as listings report it and as every change checks it.
struct EntryRights {
    bool isOwner = false;
    bool isManager = false;
    bool canChange = false; // upload over, move, rename, delete, lock
    bool canChmod = false;
};

// An entry as a listing or a search result shows it to one user.
struct ListedEntry {
    Entry entry;
    EntryRights rights;
    bool isEmpty = false; // folders without children
};

struct UploadSession {
    std::string id;
    std::int64_t userId = 0;
    std::string path; // the decoded target path, e.g. "/FILE/a/b.txt"
    std::string md5;
    std::int64_t size = 0;
    std::int64_t received = 0;
};

struct ShareLink {
    std::string key;
    std::int64_t entryId = 0;
    std::int64_t userId = 0;
    std::string password; // empty: none needed
    std::int64_t validUntil = 0; // unix seconds
    std::int64_t downloadLimit = 0; // 0 = unlimited
    std::int64_t downloadCount = 0;
    std::int64_t wrongPasswords = 0; // in all, since the link was made
    bool disabled = false; // by too many wrong passwords, for good
};

struct PrintJob {
    std::string key;
    std::int64_t userId = 0;
    std::string resultCode;
    std::string fileName;
    std::string printId;
    std::string uploadDate;
    std::string endDate;
    std::string thumbnail;
    std::string accessKey;
    std::string printableCount;
    std::string printFinishCount;
};

} // namespace norvane::server
