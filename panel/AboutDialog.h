#pragma once

#include <QDialog>

// The About box: the application icon, its name and version, and the Crypto++ credit.
// Window's thread only.
class CAboutDialog : public QDialog
{
    Q_OBJECT
public:
    explicit CAboutDialog(QWidget* parent = nullptr);
};
