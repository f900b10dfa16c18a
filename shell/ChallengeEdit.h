#pragma once
// The challenge field of the tab "Разблокировка": hexadecimal digits only, upper case, grouped in
// pairs as they are typed ("01 23 45 ..."). Backspace and Delete take a whole pair's digit and
// regroup the rest; Insert, the clipboard keys, the middle button and dropping are refused. The
// only other way in is a paste from the context menu, which goes in upper case, as pasted, up to
// 24 characters in all.

#include <QLineEdit>

class QAction;

// The text with its blanks removed and a blank put after every pair of characters but the last.
QString GroupHexPairs(const QString& text);

class ChallengeEdit : public QLineEdit {
    Q_OBJECT
public:
    static constexpr int kMaxChars = 24;
    explicit ChallengeEdit(QWidget* parent = nullptr);

    // Pastes the clipboard text at the caret as the context menu does.
    void PasteFromMenu();
    // The Paste entry of the field's standard context menu.
    static bool IsPasteAction(const QAction* action);

    // The field's own handling of a key going down (Insert, Delete) and of a typed character
    // (digits, Backspace as character 8); each answers true when it took the key.
    bool KeyDown(int key);
    bool KeyPress(QChar ch);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
};
