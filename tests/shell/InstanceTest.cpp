// The real program: one instance per user.

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <csignal>

namespace {

// `scratch`: a folder for the PC/SC socket path, the runtime folder unless told otherwise.
QProcessEnvironment ProgramEnvironment(const QString& runtime, const QString& scratch) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_RUNTIME_DIR", runtime);
    env.insert("QT_QPA_PLATFORM", "offscreen");
    // No PC/SC daemon behind this socket: the program starts with empty device lists.
    env.insert("PCSCLITE_CSOCK_NAME", (scratch.isEmpty() ? runtime : scratch) + "/no-pcscd.comm");
    env.remove("ORVANE_SCREENSHOT_DIR");
    return env;
}

bool WaitFor(const std::function<bool()>& condition, int ms) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > ms)
            return false;
        QThread::msleep(20);
    }
    return true;
}

void Start(QProcess& p, const QString& runtime, const QString& scratch = {}) {
    p.setProcessEnvironment(ProgramEnvironment(runtime, scratch));
    p.start(ORVANE_EXECUTABLE, {});
    ASSERT_TRUE(p.waitForStarted(5000));
}

} // namespace

TEST(SingleInstance, SecondStartEndsAtOnceAndAStaleLockDoesNotBlock) {
    QTemporaryDir runtime;
    ASSERT_TRUE(runtime.isValid());
    const QString lock = runtime.filePath("OrvaneMutex.lock");

    QProcess first;
    Start(first, runtime.path());
    ASSERT_TRUE(WaitFor([&] { return QFile::exists(lock); }, 10000)) << "no lock file";
    QThread::msleep(300);
    ASSERT_EQ(first.state(), QProcess::Running);

    QProcess second;
    QElapsedTimer timer;
    timer.start();
    Start(second, runtime.path());
    ASSERT_TRUE(second.waitForFinished(5000));
    EXPECT_LT(timer.elapsed(), 3000);
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_TRUE(second.readAllStandardOutput().isEmpty());
    // The first instance is unaffected.
    QThread::msleep(200);
    EXPECT_EQ(first.state(), QProcess::Running);

    // A crash leaves the lock file behind; the next start takes it over.
    first.kill();
    ASSERT_TRUE(first.waitForFinished(5000));
    ASSERT_TRUE(QFile::exists(lock));
    QProcess third;
    Start(third, runtime.path());
    EXPECT_FALSE(third.waitForFinished(1500)) << "a stale lock kept the program from starting";
    EXPECT_EQ(third.state(), QProcess::Running);
    QFile lockFile(lock);
    ASSERT_TRUE(lockFile.open(QIODevice::ReadOnly));
    EXPECT_EQ(lockFile.readLine().trimmed().toLongLong(), third.processId());
    third.kill();
    third.waitForFinished(5000);
}

TEST(SingleInstance, AnUnusableRuntimeFolderDoesNotKeepTheProgramFromStarting) {
    // A runtime folder that Qt takes (ours, mode 0700), in which no lock file can be made, even
    // by root: the folder's path is so long that the lock file's path is longer than the system
    // allows. Taking the lock fails, and not because another Orvane holds it. (A directory
    // standing at the lock file's path would not do: Qt reports that as a lock held by another.)
    QTemporaryDir base;
    ASSERT_TRUE(base.isValid());
    const qsizetype lockName = QStringLiteral("/OrvaneMutex.lock").size();
    const qsizetype longest = PATH_MAX - 1; // PATH_MAX counts the closing NUL
    const qsizetype wanted = longest - lockName / 2;
    QString runtime = base.path();
    while (runtime.size() < wanted - 1)
        runtime += u'/' + QString(std::min<qsizetype>(200, wanted - runtime.size() - 1), u'r');
    ASSERT_GT(runtime.size() + lockName, longest);
    ASSERT_TRUE(QDir().mkpath(runtime));
    ASSERT_TRUE(QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner |
                                                   QFile::ExeOwner | QFile::ReadUser |
                                                   QFile::WriteUser | QFile::ExeUser));
    QFile probe(runtime + "/OrvaneMutex.lock");
    ASSERT_FALSE(probe.open(QIODevice::WriteOnly)) << "the lock file could be made after all";

    QProcess program;
    Start(program, runtime, base.path());
    EXPECT_FALSE(program.waitForFinished(1500)) << "the program ended although no other runs";
    EXPECT_EQ(program.state(), QProcess::Running);
    program.kill();
    program.waitForFinished(5000);
    // Qt used the folder: had it refused it, it would have said so and gone to a shared one,
    // where another Orvane of the same user may hold the lock.
    EXPECT_FALSE(program.readAllStandardError().contains("QStandardPaths"));
}

// Logout, shutdown or `kill` end the program as closing its window does: exit code 0 and the
// single-instance lock gone, so the next start is not refused.
TEST(SingleInstance, EndsCleanlyOnTerminationSignals) {
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(signal);
        QTemporaryDir runtime;
        ASSERT_TRUE(runtime.isValid());
        const QString lock = runtime.filePath("OrvaneMutex.lock");
        QProcess program;
        Start(program, runtime.path());
        ASSERT_TRUE(WaitFor([&] { return QFile::exists(lock); }, 10000)) << "no lock file";
        QThread::msleep(300); // the window and its message loop are up
        ASSERT_EQ(::kill(static_cast<pid_t>(program.processId()), signal), 0);
        ASSERT_TRUE(program.waitForFinished(10000));
        EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(program.exitCode(), 0);
        EXPECT_FALSE(QFile::exists(lock)) << "the lock file is removed";
    }
}
