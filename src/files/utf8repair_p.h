#ifndef VASKSUPPORT_FILES_UTF8REPAIR_P_H
#define VASKSUPPORT_FILES_UTF8REPAIR_P_H

#include <QByteArray>
#include <QtGlobal>

#include <limits>

namespace vask {

// The most bytes a configuration text may have: what one QByteArray holds
// (2 GiB on Qt 5), less room for the last piece read.
constexpr qint64 kMaxConfigBytes = std::numeric_limits<int>::max() - (1 << 20);

// Decodes UTF-8 and encodes it again piece by piece, with the result
// QString::fromUtf8(all).toUtf8() gives: malformed sequences become U+FFFD
// and a leading byte-order mark goes. Pieces are cut only between two ASCII
// bytes, where the decoder holds nothing over and a mark can't start a piece,
// so only one piece is ever held as UTF-16.
class Utf8Repair
{
public:
    explicit Utf8Repair(int piece = 1 << 16, qint64 limit = kMaxConfigBytes);
    // Adds bytes; false once the text can't stay within the limit.
    bool add(const char *data, int size);
    // Decodes what is left; false when the text passes the limit.
    bool finish();
    const QByteArray &text() const { return mText; }

private:
    bool decode(int size);

    int mPiece;
    qint64 mLimit;
    QByteArray mPending; // raw bytes not decoded yet
    int mLooked = 0; // cuts up to here in mPending were looked for
    QByteArray mText;
};

} // namespace vask

#endif // VASKSUPPORT_FILES_UTF8REPAIR_P_H
