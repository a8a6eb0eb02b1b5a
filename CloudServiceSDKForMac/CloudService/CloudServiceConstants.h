#pragma once

#include <cstdint>

// The command vocabulary that every layer above the adaptor speaks: command types, execute modes,
// result codes, the service's error domain and the option keys the service core reads or writes.

namespace norvane {

// CloudServiceCommand::commandType. Any other value is accepted and only completes.
enum CommandType : std::int32_t {
    CommandTypeConnect = 1,
    CommandTypeLogin = 2,
    CommandTypeLogout = 3,
    CommandTypeCd = 4,
    CommandTypeLs = 5,
    CommandTypeMkdir = 6,
    CommandTypePut = 7,
    CommandTypeGet = 8,
    CommandTypeRm = 9,
    CommandTypeCp = 10,
    CommandTypeMv = 11,
    CommandTypeChmod = 12,
    CommandTypeChangePassword = 13,
    CommandTypePublish = 14,
    CommandTypeSearch = 15,
    CommandTypeNetPrint = 16,
};

// How a command is submitted (CloudServiceCommand::executeMode). Every value other than Sync and
// Async means the batch queue.
enum ExecuteMode : std::int32_t {
    ExecuteModeBatch = 0,
    ExecuteModeSync = 1, // at once on the caller's thread, no completion callback
    ExecuteModeAsync = 2, // on the service's pool of at most three
};

// CloudServiceCommand::commandRes and the return value of every adaptor operation.
// 10 and 17 are unused.
enum ResultCode : std::int32_t {
    ResultNone = 0,
    ResultSuccess = 1,
    ResultFailed = 2,
    ResultUnreachable = 3,
    ResultCancelled = 4,
    ResultWriteConflict = 5,
    ResultNotModified = 6,
    ResultConflict = 7,
    ResultNoSpace = 8,
    ResultNotFound = 9,
    ResultTooLarge = 11,
    ResultResumeAtOffset = 12,
    ResultConnectFailed = 13,
    ResultResourceChanged = 14,
    ResultPasswordChangeFailed = 15,
    ResultDeviceNotAuthorized = 16,
    ResultCacheMiss = 18,
    ResultServerError = 19,
    ResultTimedOut = 20,
    ResultAccountSuspended = 21,
    ResultGone = 22,
    ResultIsCopySource = 23,
    ResultIsCopyDest = 24,
    ResultNotAcceptable = 25,
    ResultInvalidArgument = 26,
    ResultBadRequest = 27,
};

// Errors the service core and the adaptor store in commandErr. Errors of the HTTP engine and the
// file system keep their own domains.
inline constexpr const char* kCloudServiceErrorDomain = "CloudServiceErrorDomain";

enum CloudServiceErrorCode : long {
    CloudServiceErrorNotReachable = 1, // network not reachable at dispatch
    CloudServiceErrorLoginTransport = 2, // the login request failed in transport
    CloudServiceErrorLoginResponse = 3, // login answer not XML, or the account record is not valid
    CloudServiceErrorNeedRelogin = 11, // the session must be established again
    CloudServiceErrorNotFound = 12, // HTTP 404
    CloudServiceErrorPasswordChange = 13, // password change refused
    CloudServiceErrorListingTooLarge = 21, // a listing of more entries or bytes than are read
    // A transfer answer the service will not act on: a resume offset outside the file or one that
    // makes no progress, a download chunk that is not the range asked for, a download whose size
    // is not the entry's. The command's result is then ResultFailed.
    CloudServiceErrorBadTransferAnswer = 101,
    // The server named a path that is not one: a key that does not begin with "/".
    CloudServiceErrorBadKey = 102,
    // The server's certificate failed validation; userInfo "underlyingError" is the engine's error.
    CloudServiceErrorCertificateRejected = 104,
    // The server's public key is not the pinned one; userInfo "serverPin" is the key it showed
    // ("sha256//<base64>") and "underlyingError" the engine's error.
    CloudServiceErrorPinMismatch = 105,
};

// The detail of a request the server answered with a status that the operation does not take for
// success: the code is the HTTP status (407: the proxy wants credentials; 403 with "Code"
// "AccessDenied": no permission), userInfo "Code" and "Message" the server's error body, when it
// has them.
inline constexpr const char* kHTTPStatusErrorDomain = "HTTPStatusErrorDomain";

// Keys of cmdOption that the service core itself reads or writes.
inline constexpr const char* kOptionTimestamp = "timestamp"; // in: ms since 1970 as text
inline constexpr const char* kOptionTotalSize = "totalSize"; // in: expected size of a download
inline constexpr const char* kOptionAccessFlag = "accessFlag"; // in: access permission (cp, mv, chmod)
inline constexpr const char* kOptionOverwrite = "overwrite"; // in: kOptionValueYes or absent
inline constexpr const char* kOptionCmdType = "cmdType"; // in: kOptionValueMakeFolder
inline constexpr const char* kOptionForPostRemoteFileName = "for_post_remoteFileName";
inline constexpr const char* kOptionForPostCreationdate = "for_post_creationdate";
inline constexpr const char* kOptionForPostOwner = "for_post_owner";
inline constexpr const char* kOptionForPostOwnername = "for_post_ownername";
inline constexpr const char* kOptionPassword = "password"; // in: netPrint password
inline constexpr const char* kOptionDay = "day"; // in: netPrint keep days
inline constexpr const char* kOptionOutputMessage = "outputMessage"; // out: netPrint result text
inline constexpr const char* kOptionOutputMessage2 = "outputMessage2"; // out: netPrint result text
inline constexpr const char* kOptionLocalFileMoved = "LocalFileMoved"; // out: where a download was moved

// Destinations of a put re-sent as POST take these keys from the for_post_ keys above.
inline constexpr const char* kOptionCreationdate = "creationdate";
inline constexpr const char* kOptionOwner = "owner";
inline constexpr const char* kOptionOwnername = "ownername";

inline constexpr const char* kOptionValueYes = "YES";
inline constexpr const char* kOptionValueMakeFolder = "makeFolder";

} // namespace norvane
