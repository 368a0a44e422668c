// text: localToUtf8 under the system's locale codec or a chosen one.
#include "probe.h"
#include "textcodechelper.h"

#include <QTextCodec>

namespace {

QString codePoints(const QString &s)
{
    QStringList parts;
    for (uint c : s.toUcs4())
        parts << QStringLiteral("U+") + QString::number(c, 16).toUpper().rightJustified(4, QLatin1Char('0'));
    return parts.join(QLatin1Char(' '));
}

// Runs the conversion with codecName as the locale codec (empty: the
// system's) and restores the system's afterwards.
bool convert(const QString &codecName, const QString &text)
{
    QTextCodec *codec = nullptr;
    if (!codecName.isEmpty()) {
        codec = QTextCodec::codecForName(codecName.toLatin1());
        if (!codec) {
            probe::out(QStringLiteral("unknown codec: ") + codecName);
            return false;
        }
        QTextCodec::setCodecForLocale(codec);
    }
    const QString result = TextCodecHelper().localToUtf8(text);
    const QString shown = QString::fromLatin1(QTextCodec::codecForLocale()->name());
    QTextCodec::setCodecForLocale(nullptr);
    probe::out(QStringLiteral("locale codec   %1%2").arg(shown, codec ? QString() : QStringLiteral(" (system)")));
    probe::out(QStringLiteral("input          %1   [%2]").arg(text, codePoints(text)));
    probe::out(QStringLiteral("localToUtf8    %1   [%2]").arg(result, codePoints(result)));
    return true;
}

const QString kSample = QString::fromUtf8("\xe4\xb8\xad\xe6\x96\x87"); // 中文

int run(const QStringList &args)
{
    QStringList rest = args;
    QString codecName;
    if (!rest.isEmpty() && rest.first() == QLatin1String("--codec")) {
        if (rest.size() < 2) {
            probe::out(QStringLiteral("usage: vaskprobe text [--codec NAME] [TEXT...]"));
            return 2;
        }
        codecName = rest.at(1);
        rest = rest.mid(2);
    }
    return convert(codecName, rest.isEmpty() ? kSample : rest.join(QLatin1Char(' '))) ? 0 : 2;
}

int tourStep()
{
    const bool ok = convert(QString(), kSample);
    probe::out(QString());
    const bool gbk = convert(QStringLiteral("GBK"), kSample);
    probe::out(QString());
    return ok && gbk && convert(QStringLiteral("ISO-8859-1"), kSample) ? 0 : 1;
}

const bool registered = probe::registerCommand(
    {"text", "text [--codec NAME] [TEXT...] convert TEXT (or a Chinese sample) with localToUtf8", run, 80, tourStep});

} // namespace
