#include "panel/FolderPicker.h"

#include <QFileDialog>

#include <optional>

namespace {

std::optional<QString> g_nextDirectory; // window's thread only

} // namespace

QString CFolderPicker::GetExistingDirectory(QWidget* parent, const QString& title, const QString& startFolder)
{
    if (g_nextDirectory)
        return *std::exchange(g_nextDirectory, std::nullopt);
    return QFileDialog::getExistingDirectory(parent, title, startFolder, QFileDialog::ShowDirsOnly);
}

void CFolderPicker::SetNextDirectory(const QString& path)
{
    g_nextDirectory = path;
}
