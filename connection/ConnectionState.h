#pragma once

// The control connection's state. Only StateLoggedOut gates commands; the transfer states steer
// what ABOR answers.
enum ConnectionState
{
    StateIdle = 0,
    StateLoggedOut = 1,
    StateSendingList = 2,
    StateReceivingFile = 3,
    StateSendingFile = 4
};

// What a path operation needs, and the permission that grants it.
enum AccessMode
{
    AccessDownload = 1,     // RETR, SIZE: AllowDownloadFiles
    AccessUpload = 2,       // STOR: AllowUploadFiles
    AccessRename = 3,       // RNFR, RNTO: AllowRenameFiles
    AccessDelete = 4,       // DELE, RMD: AllowDeleteFiles
    AccessCreateFolder = 5, // MKD: AllowCreateFolders
    AccessBrowse = 6        // CWD, CDUP, LIST: AllowDownloadFiles or AllowUploadFiles
};

// Results of the path resolvers.
enum PathResult
{
    PathOK = 0,
    PathFileNotFound = 2,
    PathFolderNotFound = 3,
    PathNotAllowed = 5
};

// The transfer commands over the data connection.
enum class TransferKind
{
    List,
    Download,
    Upload
};
