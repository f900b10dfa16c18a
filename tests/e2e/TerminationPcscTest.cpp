// Logout, shutdown or `kill` in the middle of an initialization run (SIGTERM): in every state of
// the run the program ends with 0, removes its instance lock, releases the reader and leaves the
// token whole: an attempt under way is completed (its log line written), one not started is
// not started. The program is Orvane's own start code in a child process
// (orvane_termination_child), against the private pcscd and a virtual token.

#include "VirtualToken.h"

#include "card/TokenSession.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>

namespace {

struct TerminationCase {
    const char* name;
    const char* state;       // the run's state the signal arrives in
    bool tokenFails = false; // the token refuses its PIN, so the attempt fails
    bool attempted = true;   // the token was initialized (or tried) before the end
    const char* logResult;   // the one log line's result, or nullptr for none
};
void PrintTo(const TerminationCase& c, std::ostream* os) {
    *os << c.name;
}

const vtoken::Bytes kPinBytes{'1', '2', '3', '4', 0xFF, 0xFF, 0xFF, 0xFF};

// Reads the child's stdout until it prints `line` (or ends, or `ms` pass).
bool WaitForLine(QProcess& child, const QByteArray& line, QByteArray& seen, int ms) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms) {
        child.waitForReadyRead(50);
        seen += child.readAllStandardOutput();
        if (seen.split('\n').contains(line))
            return true;
        if (child.state() == QProcess::NotRunning)
            return false;
    }
    return false;
}

QStringList LogLines(const QString& dataHome) {
    QStringList lines;
    const QDir folder(dataHome + QStringLiteral("/Velmar/Orvane"));
    for (const QString& name : folder.entryList(QDir::Files)) {
        QFile file(folder.filePath(name));
        if (file.open(QIODevice::ReadOnly))
            for (const QByteArray& line : file.readAll().split('\n'))
                if (!line.trimmed().isEmpty())
                    lines << QString::fromUtf8(line.trimmed());
    }
    return lines;
}

class EndsOnSigterm : public ::testing::TestWithParam<TerminationCase> {};

TEST_P(EndsOnSigterm, ExitsCleanlyWithTheTokenWholeAndTheReaderFree) {
    const TerminationCase& c = GetParam();
    QTemporaryDir runtime, dataHome;
    ASSERT_TRUE(runtime.isValid() && dataHome.isValid());
    ASSERT_GE(VirtualToken::BasePort(), 0) << "the private PC/SC stack does not run";
    VirtualToken token;
    VirtualTokenOptions options;
    if (c.tokenFails)
        options.fails.push_back("20=6983"); // the CHECK of the global PIN: blocked
    ASSERT_TRUE(token.Insert(options)) << token.Error();

    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_RUNTIME_DIR", runtime.path());
    env.insert("XDG_DATA_HOME", dataHome.path());
    env.insert("QT_QPA_PLATFORM", "offscreen");
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::SeparateChannels);
    QStringList args{QString::fromStdString(token.ReaderName())};
    const QByteArray target = QByteArray("state ") + c.state;
    if (target == "state Ready")
        args << "stay-ready";
    child.start(ORVANE_TERMINATION_CHILD, args);
    ASSERT_TRUE(child.waitForStarted(5000));

    QByteArray seen;
    if (target == "state Attempt") {
        // The attempt runs without serving events: the signal comes as the token answers its
        // first command.
        ASSERT_TRUE(WaitForLine(child, "state Ready", seen, 15000)) << seen.toStdString();
        QElapsedTimer clock;
        clock.start();
        while (token.Apdus().empty() && clock.elapsed() < 10000)
            QThread::msleep(5);
        ASSERT_FALSE(token.Apdus().empty()) << "the attempt did not start";
    } else {
        if (target == "state Waiting") {
            ASSERT_TRUE(WaitForLine(child, "state RemovalWait", seen, 20000)) << seen.toStdString();
            ASSERT_TRUE(token.Remove()) << token.Error();
        }
        ASSERT_TRUE(WaitForLine(child, target, seen, 20000)) << seen.toStdString();
        QThread::msleep(300); // the run is well inside the state
    }
    ASSERT_EQ(::kill(static_cast<pid_t>(child.processId()), SIGTERM), 0);
    ASSERT_TRUE(child.waitForFinished(10000)) << "the program did not end";
    seen += child.readAllStandardOutput();

    EXPECT_EQ(child.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(child.exitCode(), 0) << child.readAllStandardError().toStdString();
    EXPECT_FALSE(QFile::exists(runtime.filePath("OrvaneMutex.lock"))) << "the lock file is left";
    // After the state the signal came in (an attempt is never seen: it serves no events), the
    // run went nowhere but to its end.
    const QByteArray signalled = target == "state Attempt" ? "state Ready" : target;
    const QList<QByteArray> states = seen.trimmed().split('\n');
    const qsizetype at = states.lastIndexOf(signalled);
    ASSERT_GE(at, 0) << seen.toStdString();
    for (qsizetype i = at + 1; i < states.size(); ++i) {
        // An attempt under way is finished before the signal is served, and its success enters
        // the removal wait first: the state may be seen once, right after, when the program's
        // look at the states comes before the signal among the events of a busy machine.
        if (target == "state Attempt" && i == at + 1 && states[i] == "state RemovalWait")
            continue;
        EXPECT_EQ(states[i], "state Ended") << seen.toStdString();
    }

    const auto state = token.State();
    ASSERT_TRUE(state) << "the token's state file: " << token.Error();
    if (c.attempted && !c.tokenFails) {
        EXPECT_EQ(state->pin.value, kPinBytes) << "the attempt was cut off";
    }
    if (!c.attempted) {
        EXPECT_TRUE(token.Apdus().empty()) << "the token was touched";
    }
    const QStringList lines = LogLines(dataHome.path());
    if (c.logResult) {
        ASSERT_EQ(lines.size(), 1) << lines.join(u'\n').toStdString();
        EXPECT_TRUE(lines[0].contains(QString::fromLatin1(c.logResult))) << lines[0].toStdString();
    } else {
        EXPECT_TRUE(lines.isEmpty()) << lines.join(u'\n').toStdString();
    }

    // The reader is free: an exclusive connection to a token in it succeeds.
    if (target == "state Waiting") {
        ASSERT_TRUE(token.Insert()) << token.Error();
    }
    TokenSession probe;
    probe.SelectReader(token.ReaderName());
    EXPECT_TRUE(probe.ConnectCard()) << "the reader is still held: " << probe.LastErrorText();
    probe.Disconnect();
    ASSERT_TRUE(token.Remove()) << token.Error();
}

INSTANTIATE_TEST_SUITE_P(
    RunStates, EndsOnSigterm,
    ::testing::Values(TerminationCase{"Ready", "Ready", false, false, nullptr},
                      TerminationCase{"Attempt", "Attempt", false, true, "SUCCESS"},
                      TerminationCase{"Failed", "Failed", true, true, "ERROR"},
                      TerminationCase{"RemovalWait", "RemovalWait", false, true, "SUCCESS"},
                      TerminationCase{"Waiting", "Waiting", false, true, "SUCCESS"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
