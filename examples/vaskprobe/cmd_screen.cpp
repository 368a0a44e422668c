// screen: the desktop's monitor rectangle, its current mode and their ratio.
#include "probe.h"
#include "screenhelper.h"

namespace {

// Prints the five outputs; false when there is no screen to read.
bool printScreen()
{
    int screenWidth = 0, screenHeight = 0, pixelWidth = 0, pixelHeight = 0;
    double pixelRatio = 0.0;
    if (!ScreenHelper::screenPropties(screenWidth, screenHeight, pixelWidth, pixelHeight, pixelRatio)) {
        probe::out(QStringLiteral("no screen found (no display, or its monitor could not be read)"));
        return false;
    }
    probe::out(QStringLiteral("screenWidth    %1").arg(screenWidth));
    probe::out(QStringLiteral("screenHeight   %1").arg(screenHeight));
    probe::out(QStringLiteral("pixelWidth     %1").arg(pixelWidth));
    probe::out(QStringLiteral("pixelHeight    %1").arg(pixelHeight));
    probe::out(QStringLiteral("pixelRatio     %1").arg(pixelRatio));
    return true;
}

int run(const QStringList &args)
{
    if (!args.isEmpty()) {
        probe::out(QStringLiteral("usage: vaskprobe screen"));
        return 2;
    }
    return printScreen() ? 0 : 1;
}

// A headless machine is a normal place to run the tour: no screen is news,
// not a failure.
int tourStep()
{
    printScreen();
    return 0;
}

const bool registered = probe::registerCommand(
    {"screen", "screen                       print the desktop monitor's size, mode and ratio", run, 70, tourStep});

} // namespace
