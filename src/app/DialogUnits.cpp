#include "app/DialogUnits.h"

#include <QApplication>
#include <QFontMetrics>

namespace {

// MulDiv's rounding: value * numerator / denominator, halves away from zero.
int MulDiv(int value, int numerator, int denominator)
{
    const long long product = static_cast<long long>(value) * numerator;
    const long long half = denominator / 2;
    return static_cast<int>(product >= 0 ? (product + half) / denominator : (product - half) / denominator);
}

}  // namespace

QFont DialogFont()
{
    QFont font = QApplication::font();
    font.setPointSize(8);
    return font;
}

QRect MapDialogRect(const QFont& font, int x, int y, int width, int height)
{
    const QFontMetrics metrics(font);
    // The average width over the 52 letters, rounded, as GdiGetCharDimensions does.
    const int letters = metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    const int baseX = (letters / 26 + 1) / 2;
    const int baseY = metrics.height();
    return QRect(MulDiv(x, baseX, 4), MulDiv(y, baseY, 8), MulDiv(width, baseX, 4), MulDiv(height, baseY, 8));
}
