#pragma once
// A test double for the program's dialogs: records every message box and file dialog request
// and answers from queues that the test fills beforehand. An unexpected box is answered with OK
// (or the first button shown) and stays in the record, so a test sees it.

#include "init/Dialogs.h"

#include <QString>

#include <deque>
#include <functional>
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
