// Prints the first COUNT results of Qt 5's qrand() after qsrand(SEED), one
// per line. Built against Qt 5 inside a Qt 6 build, so that the Qt 6 tables
// are compared with the real generator they must reproduce.
#include <QtGlobal>

#include <cstdio>
#include <cstdlib>

QT_WARNING_DISABLE_DEPRECATED

int main(int argc, char **argv)
{
    if (argc != 3)
        return 2;
    qsrand(static_cast<uint>(std::strtoul(argv[1], nullptr, 10)));
    for (long n = std::strtol(argv[2], nullptr, 10); n > 0; --n)
        std::printf("%d\n", qrand());
    return 0;
}
