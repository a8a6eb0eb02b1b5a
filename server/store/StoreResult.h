#pragma once

#include <string>
#include <utility>
#include <variant>

namespace norvane::server {

// Why the store refused or failed an operation. The HTTP layer turns each into a status and an
// error body; the store itself knows nothing of HTTP.
enum class StoreError {
    NotFound, // the entry, its parent, the user, the link … does not exist
    Exists, // the target name is taken (and no overwrite was asked for)
    NotAFolder, // a folder was needed
    NotAFile, // a file was needed
    Forbidden, // the user lacks the right
    Locked, // the file is locked by another user (lockUserId/lockUserName say who)
    CopySource, // the entry belongs to the source tree of a copy still running
    CopyDest, // the entry belongs to the destination tree of a copy still running
    TooLarge, // above the company's file size limit
    QuotaExceeded, // above the user's quota
    OffsetMismatch, // an upload chunk that does not continue the session (offset says where)
    DigestMismatch, // the uploaded bytes do not have the announced MD5
    Invalid, // a malformed name or value
    Io, // the disk or the database failed
};

struct StoreFailure {
    StoreError error = StoreError::Io;
    std::string detail; // for people and logs
    std::string lockUserId; // Locked only
    std::string lockUserName; // Locked only
    long long offset = 0; // OffsetMismatch only
};

// A value or the reason there is none.
template <typename T> class StoreResult {
public:
    StoreResult(T value)
        : state_(std::move(value))
    { }
    StoreResult(StoreFailure failure)
        : state_(std::move(failure))
    { }
    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() { return std::get<0>(state_); }
    const T& value() const { return std::get<0>(state_); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    const StoreFailure& failure() const { return std::get<1>(state_); }

private:
    std::variant<T, StoreFailure> state_;
};

struct Done { };
using StoreStatus = StoreResult<Done>;

inline StoreFailure storeFailure(StoreError error, std::string detail = {})
{
    StoreFailure failure;
    failure.error = error;
    failure.detail = std::move(detail);
    return failure;
}

} // namespace norvane::server
