// The yardstick of the start benchmark: the smallest Qt Widgets program with a main window,
// built with the same flags as orvane.
#include <QApplication>
#include <QLabel>
#include <QMainWindow>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QMainWindow window;
    window.setCentralWidget(new QLabel(QStringLiteral("Orvane")));
    window.show();
    return QApplication::exec();
}
