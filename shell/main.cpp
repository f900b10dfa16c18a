// orvane: the window. --version and --help are answered on the terminal before Qt starts, so that
// they work without a display (over ssh, from a script).

#include "Startup.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr const char* kHelp =
    "Использование: orvane [ПАРАМЕТР]\n"
    "Orvane: инициализация и разблокировка смарт-карт и USB-ключей. Без параметров открывает "
    "окно программы; для сценариев есть orvane-cli (man orvane-cli).\n"
    "\n"
    "Параметры:\n"
    "  -h, --help   Показать справку и выйти\n"
    "  --version    Показать версию и выйти\n";

// Prints `text`; 6, as orvane-cli, when standard output cannot take it.
int Answer(const char* text) {
    if (std::fputs(text, stdout) < 0 || std::fflush(stdout) != 0) {
        std::fputs("orvane: вывод не записан в стандартный вывод\n", stderr);
        return 6;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0)
            return Answer("orvane " ORVANE_VERSION "\n");
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0)
            return Answer(kHelp);
    }
    return RunOrvane(argc, argv);
}
