// numeric: the three helpers of VASK_GLOBAL on values from the command line.
#include "probe.h"
#include "vaskglobal.h"

#include <QLocale>

namespace {

const char kUsage[] = "usage: vaskprobe numeric formula1 A B C | isEqual X Y | normalDistribution MU SIGMA P";

QString num(double v)
{
    return QString::number(v, 'g', QLocale::FloatingPointShortest);
}

void showFormula1(double a, double b, double c)
{
    probe::out(QStringLiteral("formula1(%1, %2, %3) = %4").arg(num(a), num(b), num(c), num(VASK_GLOBAL::formula1(a, b, c))));
}

void showIsEqual(double x, double y)
{
    const bool equal = VASK_GLOBAL::isEqual(x, y);
    probe::out(QStringLiteral("isEqual(%1, %2) = %3").arg(num(x), num(y), equal ? QStringLiteral("true") : QStringLiteral("false")));
}

void showNormalDistribution(double mu, double sigma, double p)
{
    double upper = 0;
    double lower = 0;
    VASK_GLOBAL::normalDistribution(mu, sigma, p, upper, lower);
    probe::out(QStringLiteral("normalDistribution(%1, %2, %3) = %4, %5").arg(num(mu), num(sigma), num(p), num(upper), num(lower)));
}

int run(const QStringList &args)
{
    if (args.isEmpty()) {
        probe::out(QString::fromUtf8(kUsage));
        return 2;
    }
    QVector<double> v;
    for (int i = 1; i < args.size(); ++i) {
        bool ok = false;
        v << args.at(i).toDouble(&ok);
        if (!ok) {
            probe::out(QStringLiteral("not a number: ") + args.at(i));
            return 2;
        }
    }
    const QString fn = args.first();
    if (fn == QLatin1String("formula1") && v.size() == 3)
        showFormula1(v[0], v[1], v[2]);
    else if (fn == QLatin1String("isEqual") && v.size() == 2)
        showIsEqual(v[0], v[1]);
    else if (fn == QLatin1String("normalDistribution") && v.size() == 3)
        showNormalDistribution(v[0], v[1], v[2]);
    else {
        probe::out(QString::fromUtf8(kUsage));
        return 2;
    }
    return 0;
}

int tour()
{
    showFormula1(2, 10, 4);
    showFormula1(8, 10, 4);
    showFormula1(3, 5, 0);
    showFormula1(1e20, 1, 1);
    showIsEqual(1.0, 1.0000001);
    showIsEqual(0.0, 1e-6);
    showNormalDistribution(10, 2, 0.1);
    showNormalDistribution(0, 1, 0.5);
    showNormalDistribution(0, 1, 0);
    return 0;
}

const bool registered = probe::registerCommand(
    {"numeric", "numeric FUNCTION ARGS...     formula1 A B C | isEqual X Y | normalDistribution MU SIGMA P", run,
     50, tour});

} // namespace
