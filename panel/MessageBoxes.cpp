#include "panel/MessageBoxes.h"

#include <QCoreApplication>
#include <QQueue>

namespace {

// Window's thread only, like every box.
bool g_bRecording = false;
QQueue<bool> g_answers;
QList<CMessageBox::CShown> g_shown;

QString ForDisplay(QString text)
{
    return text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
}

} // namespace

void CMessageBox::Show(QWidget* parent, const QString& text, const QString& caption, QMessageBox::Icon icon)
{
    if (g_bRecording) {
        g_shown.append({text, caption, icon});
        return;
    }
    QMessageBox box(icon, caption, ForDisplay(text), QMessageBox::Ok, parent);
    box.exec();
}

bool CMessageBox::AskYesNo(QWidget* parent, const QString& text, const QString& caption)
{
    if (g_bRecording) {
        g_shown.append({text, caption, QMessageBox::Question});
        return !g_answers.isEmpty() && g_answers.dequeue();
    }
    QMessageBox box(QMessageBox::Question, caption, ForDisplay(text), QMessageBox::Yes | QMessageBox::No, parent);
    return box.exec() == QMessageBox::Yes;
}

void CMessageBox::SetRecording(bool bRecording)
{
    g_bRecording = bRecording;
    g_answers.clear();
    g_shown.clear();
}

void CMessageBox::SetNextAnswer(bool bYes)
{
    g_answers.enqueue(bYes);
}

QList<CMessageBox::CShown> CMessageBox::TakeShown()
{
    return std::exchange(g_shown, {});
}

QString ApplicationName()
{
    return QCoreApplication::applicationName();
}
