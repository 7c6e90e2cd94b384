#pragma once

// Whether the client has logged in: until it has, only USER and PASS run.
enum class ESession
{
    LoggedOut,
    LoggedIn
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
