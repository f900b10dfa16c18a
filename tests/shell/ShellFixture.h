#pragma once
// The main window under test: a scripted PC/SC stack, scripted dialogs, a random source that can
// be made to fail and an initialization run that only records what it was given.

#include "engine/RandomSource.h"
#include "shell/ChallengeEdit.h"
#include "shell/InitTab.h"
#include "shell/MainWindow.h"
#include "shell/ReaderComboBox.h"
#include "shell/UnblockKeyFiles.h"
#include "shell/UnblockTab.h"
#include "support/Controls.h"
#include "support/FakeDialogs.h"
#include "support/FakePcsc.h"
#include "support/RecordingAuditJournal.h"

#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <sys/random.h>
#include <vector>

// The system's random source, unless told to fail.
class RandomDouble final : public IRandomSource {
public:
    RandomDouble() { SetRandomSource(this); }
    ~RandomDouble() override { SetRandomSource(nullptr); }
    bool fail = false;
    int calls = 0;
    bool SystemRandom(std::uint8_t* buffer, std::size_t count) override {
        ++calls;
        if (fail)
            return false;
        return getrandom(buffer, count, 0) == static_cast<ssize_t>(count);
    }
};

// Records the reader name of every run; `during` runs while the "run" is open.
class RunnerDouble final : public IInitRunner {
public:
    std::vector<std::string> readers;
    std::function<void()> during;
    bool RunInitialization(const std::string& readerName) override {
        readers.push_back(readerName);
        if (during)
            during();
        return true;
    }
};

class ShellTest : public ::testing::Test {
public:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        pcsc.AddReader("Reader A", FakePcsc::FamilyAtr(0x07));
        window = std::make_unique<MainWindow>();
        window->SetInitRunner(&runner);
    }
    void TearDown() override { window.reset(); }

    QString Path(const QString& name) const { return dir.filePath(name); }
    // Writes `size` bytes 0, 1, 2, ... into an owner-only file of the temporary folder.
    QString KeyFile(const QString& name, int size, std::uint8_t first = 0) const;
    // Loads `path` through the open dialog of the given button's route.
    void Load(const QString& path, KeyMark mark) {
        dialogs.openNames.push_back(path);
        window->KeyFiles().Load(mark);
    }
    void SelectReader(const std::string& name) { window->CardReader().SelectReader(name); }

    // Before the window: every audit entry of the window goes here, none to the system journal.
    RecordingAuditJournal journal;
    FakePcsc pcsc;
    FakeDialogs dialogs;
    RandomDouble random;
    RunnerDouble runner;
    QTemporaryDir dir;
    std::unique_ptr<MainWindow> window;
};

inline QString ShellTest::KeyFile(const QString& name, int size, std::uint8_t first) const {
    QFile file(Path(name));
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    QByteArray bytes;
    for (int i = 0; i < size; ++i)
        bytes.append(static_cast<char>(first + i));
    file.write(bytes);
    // Owner-only, as the program writes key files: a file open to others is warned about.
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    return file.fileName();
}

inline std::array<std::uint8_t, 16> Sequence16(std::uint8_t first) {
    std::array<std::uint8_t, 16> key{};
    for (int i = 0; i < 16; ++i)
        key[i] = static_cast<std::uint8_t>(first + i);
    return key;
}
