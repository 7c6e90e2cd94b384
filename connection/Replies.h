#pragma once

// Reply texts that more than one command sends.
namespace Reply {
constexpr const char* kNotAllowed = "550 Not allowed.";
constexpr const char* kFileNotFound = "550 File not found.";
constexpr const char* kFolderNotFound = "550 Folder not found.";
constexpr const char* kRenameError = "450 Error renaming file.";
constexpr const char* kBinaryMode = "150 Binary mode.";
constexpr const char* kTransferCompleted = "226 Transfer completed.";
constexpr const char* kConnectionClosed = "426 Connection closed.";
constexpr const char* kFileAccessError = "450 File access error.";
constexpr const char* kSocketNotCreated = "421 The socket could not be created.";
constexpr const char* kConnectionNotOpened = "425 The connection could not be opened.";
} // namespace Reply
