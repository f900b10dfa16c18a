// The real program: one instance per user.

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

namespace {

QProcessEnvironment ProgramEnvironment(const QString& runtime) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_RUNTIME_DIR", runtime);
    env.insert("QT_QPA_PLATFORM", "offscreen");
    // No PC/SC daemon behind this socket: the program starts with empty device lists.
    env.insert("PCSCLITE_CSOCK_NAME", runtime + "/no-pcscd.comm");
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

void Start(QProcess& p, const QString& runtime) {
    p.setProcessEnvironment(ProgramEnvironment(runtime));
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
    // A folder that cannot be made, even by root: no lock can be taken, and nobody holds one.
    QProcess program;
    Start(program, "/proc/orvane-no-such-folder");
    EXPECT_FALSE(program.waitForFinished(1500)) << "the program ended although no other runs";
    EXPECT_EQ(program.state(), QProcess::Running);
    program.kill();
    program.waitForFinished(5000);
}
