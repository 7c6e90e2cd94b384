#pragma once

#include <QString>

class QWidget;

// The folder picker, with a seam for tests. Window's thread only.
class CFolderPicker
{
public:
    // The chosen folder's path, or empty text when the user cancelled. Opens on startFolder.
    static QString GetExistingDirectory(QWidget* parent, const QString& title, const QString& startFolder);

    // Tests: the next call returns path (empty: cancelled) without showing the picker.
    static void SetNextDirectory(const QString& path);
};
