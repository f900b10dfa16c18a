#pragma once
// A test double for the program's dialogs: records every message box and file dialog request
// and answers from queues that the test fills beforehand. An unexpected box is answered with OK
// (or the first button shown) and stays in the record, so a test sees it.

#include "init/Dialogs.h"

#include <QString>

#include <deque>
#include <functional>
#include <optional>
#include <vector>

class FakeDialogs final : public IDialogs {
public:
    FakeDialogs() { SetDialogs(this); }
    ~FakeDialogs() override { SetDialogs(nullptr); }

    std::vector<MessageRequest> messages; // every box, in order
    std::deque<int> answers;              // buttons to press, in order
    std::deque<QString> openNames;        // names chosen in open dialogs ("" = cancel)
    std::deque<QString> saveNames;        // names chosen in save dialogs ("" = cancel)
    std::vector<QString> filters;         // the filter of every file dialog
    std::deque<QStringList> openLists;    // files chosen in multi-file open dialogs ({} = cancel);
                                          // when empty, one name from openNames is taken
    std::deque<std::optional<QString>> passphrases; // typed passphrases (nullopt = cancel)
    std::vector<QString> prompts;                   // every passphrase or number question
    std::deque<int> choices;                // the choice made in each question (-1 = cancel);
                                            // when empty, the first (default) is taken
    std::vector<QString> questions;         // the text of every question with choices
    std::deque<std::optional<int>> numbers; // numbers typed (nullopt = cancel)
    std::function<void(const MessageRequest&)> onMessage; // runs while the "box" is up

    int Message(const MessageRequest& request) override {
        messages.push_back(request);
        if (onMessage)
            onMessage(request);
        if (!answers.empty()) {
            const int answer = answers.front();
            answers.pop_front();
            return answer;
        }
        for (int b : {mbOK, mbYes, mbNo, mbCancel})
            if (request.buttons & b)
                return b;
        return mbOK;
    }
    QString OpenFileName(QWidget*, const QString& filter) override {
        filters.push_back(filter);
        return Pop(openNames);
    }
    QString SaveFileName(QWidget*, const QString& filter) override {
        filters.push_back(filter);
        return Pop(saveNames);
    }

    QStringList OpenFileNames(QWidget*, const QString& filter) override {
        filters.push_back(filter);
        if (!openLists.empty()) {
            QStringList names = openLists.front();
            openLists.pop_front();
            return names;
        }
        const QString name = Pop(openNames);
        return name.isEmpty() ? QStringList() : QStringList{name};
    }
    std::optional<QString> Passphrase(QWidget*, const QString& prompt) override {
        prompts.push_back(prompt);
        if (passphrases.empty())
            return std::nullopt;
        const std::optional<QString>& next = passphrases.front();
        const QString typed = next.value_or(QString());
        const bool given = next.has_value();
        passphrases.pop_front();
        return given ? std::optional<QString>(typed) : std::nullopt;
    }
    int Choose(QWidget*, const QString& text, const QStringList&) override {
        questions.push_back(text);
        if (choices.empty())
            return 0;
        const int choice = choices.front();
        choices.pop_front();
        return choice;
    }
    std::optional<int> Number(QWidget*, const QString& prompt, int, int, int value) override {
        prompts.push_back(prompt);
        if (numbers.empty())
            return value;
        std::optional<int> typed = numbers.front();
        numbers.pop_front();
        return typed;
    }

    QString LastText() const { return messages.empty() ? QString() : messages.back().text; }

private:
    static QString Pop(std::deque<QString>& q) {
        if (q.empty())
            return QString();
        QString s = q.front();
        q.pop_front();
        return s;
    }
};
