#include "ChallengeEdit.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>

#include <algorithm>

namespace {

bool IsUpperHexDigit(QChar c) {
    return (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F');
}

} // namespace

QString GroupHexPairs(const QString& text) {
    QString digits = text;
    digits.remove(u' ');
    QString result;
    result.reserve(digits.size() + digits.size() / 2);
    for (qsizetype i = 0; i < digits.size(); ++i) {
        result += digits[i];
        if ((i + 1) % 2 == 0 && i + 1 < digits.size())
            result += u' ';
    }
    return result;
}

ChallengeEdit::ChallengeEdit(QWidget* parent) : QLineEdit(parent) {
    setDragEnabled(false);
    setAcceptDrops(false);
    setAttribute(Qt::WA_InputMethodEnabled, false);
}

bool ChallengeEdit::IsPasteAction(const QAction* action) {
    return action->objectName() == QLatin1String("edit-paste") ||
           action->text().startsWith(QLineEdit::tr("&Paste"));
}

void ChallengeEdit::PasteFromMenu() {
    if (isReadOnly())
        return;
    QString pasted = QApplication::clipboard()->text().toUpper();
    const QString current = text();
    const int selStart = hasSelectedText() ? selectionStart() : cursorPosition();
    const int selLength = hasSelectedText() ? static_cast<int>(selectedText().size()) : 0;
    const int room = kMaxChars - static_cast<int>(current.size()) + selLength;
    if (room <= 0)
        return;
    pasted.truncate(room);
    if (pasted.isEmpty())
        return;
    QString result = current;
    result.replace(selStart, selLength, pasted);
    setText(result);
    setCursorPosition(selStart + static_cast<int>(pasted.size()));
}

bool ChallengeEdit::KeyDown(int key) {
    if (key == Qt::Key_Insert)
        return true;
    if (key != Qt::Key_Delete)
        return false;
    const int pos = cursorPosition();
    QString current = text();
    if (pos % 3 == 2)
        current.remove(pos, 2);
    else if (pos < current.size())
        current.remove(pos, 1);
    current = GroupHexPairs(current);
    setText(current);
    setCursorPosition(std::min(pos + 1, static_cast<int>(current.size())));
    return true;
}

bool ChallengeEdit::KeyPress(QChar ch) {
    const QString old = text();
    if (ch == QChar(8)) {
        const int pos = cursorPosition();
        QString current = old;
        if (pos > 0) {
            if (pos % 3 == 0)
                current.remove(pos - 2, 2);
            else
                current.remove(pos - 1, 1);
        }
        current = GroupHexPairs(current);
        setText(current);
        setCursorPosition(std::max(pos - 1, 0));
        return true;
    }
    const QChar upper = ch.toUpper();
    if (!IsUpperHexDigit(upper) || (ch.unicode() > 0x7F))
        return true;
    const QString grouped = GroupHexPairs(old + upper);
    setText(grouped);
    setCursorPosition(static_cast<int>(grouped.size()));
    return true;
}

void ChallengeEdit::keyPressEvent(QKeyEvent* key) {
    if (KeyDown(key->key()))
        return;
    if (key->matches(QKeySequence::Paste) || key->matches(QKeySequence::Copy) ||
        key->matches(QKeySequence::Cut))
        return;
    if (key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab) {
        QLineEdit::keyPressEvent(key);
        return;
    }
    const Qt::KeyboardModifiers chord =
        key->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
    if (key->key() == Qt::Key_Backspace) {
        if (!chord)
            KeyPress(QChar(8));
        return;
    }
    const QString typed = key->text();
    if (typed.isEmpty()) {
        QLineEdit::keyPressEvent(key); // arrows, Home, End and the like
        return;
    }
    if (chord)
        return; // control characters are discarded
    for (QChar ch : typed)
        KeyPress(ch);
}

void ChallengeEdit::contextMenuEvent(QContextMenuEvent* event) {
    QMenu* menu = createStandardContextMenu();
    for (QAction* action : menu->actions()) {
        if (IsPasteAction(action)) {
            disconnect(action, &QAction::triggered, nullptr, nullptr);
            connect(action, &QAction::triggered, this, &ChallengeEdit::PasteFromMenu);
        }
    }
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
}

void ChallengeEdit::mouseReleaseEvent(QMouseEvent* event) {
    // No pasting of the mouse selection with the middle button: every way in is checked.
    if (event->button() == Qt::MiddleButton) {
        event->accept();
        return;
    }
    QLineEdit::mouseReleaseEvent(event);
}
