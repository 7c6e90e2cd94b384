#include "panel/MonitorPane.h"

#include "core/MonitorColors.h"

#include <QScrollBar>
#include <QTextCursor>
#include <QThread>

namespace {

QColor ToColor(MonitorRgb rgb)
{
    return QColor(RedOf(rgb), GreenOf(rgb), BlueOf(rgb));
}

} // namespace

CMonitorPane::CMonitorPane(QWidget* parent) : QTextEdit(parent)
{
    setReadOnly(true);
    setUndoRedoEnabled(false);
    setAcceptRichText(false);
    setLineWrapMode(QTextEdit::WidgetWidth);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    QPalette colours = palette();
    colours.setColor(QPalette::Base, ToColor(MonitorColor::Dark));
    colours.setColor(QPalette::Text, ToColor(MonitorColor::White));
    setPalette(colours);
    document()->setDocumentMargin(2);
}

void CMonitorPane::WriteMonitor(const QByteArray& text, MonitorRgb textColor, MonitorRgb backColor, bool lineEnd)
{
    Q_ASSERT(QThread::currentThread() == thread());
    QTextCharFormat format;
    format.setFontWeight(QFont::Bold);
    format.setForeground(ToColor(textColor));
    format.setBackground(ToColor(backColor));
    QString piece = QString::fromUtf8(text);
    piece.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    if (lineEnd)
        piece += QLatin1Char('\n');

    // Full (the empty block after the last line end is no line): the oldest lines go at once.
    if (document()->blockCount() > kMaxLines) {
        QTextCursor oldest(document());
        oldest.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor, kTrimLines);
        oldest.removeSelectedText();
    }
    // A cursor of its own: the user's selection stays where it is, the text lands at the end.
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(piece, format);
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}
