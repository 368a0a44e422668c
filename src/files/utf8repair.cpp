#include "utf8repair_p.h"

#include <QString>

namespace vask {

Utf8Repair::Utf8Repair(int piece, qint64 limit) : mPiece(piece), mLimit(limit)
{ }

bool Utf8Repair::add(const char *data, int size)
{
    mPending.append(data, size);
    // Re-encoding never shrinks the text but by a leading mark (3 bytes).
    if (mText.size() + qint64(mPending.size()) - 3 > mLimit)
        return false;
    if (mPending.size() < mPiece)
        return true;
    // The last cut in what came since the last look; none: keep gathering.
    const auto ascii = [this](int i) { return static_cast<unsigned char>(mPending.at(i)) < 0x80; };
    int cut = mPending.size() - 1;
    while (cut > mLooked && !(ascii(cut - 1) && ascii(cut)))
        --cut;
    if (cut > mLooked && !decode(cut))
        return false;
    mLooked = qMax(mPending.size() - 1, 0);
    return true;
}

bool Utf8Repair::finish()
{
    return decode(mPending.size());
}

bool Utf8Repair::decode(int size)
{
    mText.append(QString::fromUtf8(mPending.constData(), size).toUtf8());
    mPending.remove(0, size);
    return mText.size() <= mLimit;
}

} // namespace vask
