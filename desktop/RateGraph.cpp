#include "RateGraph.h"

#include "TrafficSampler.h"
#include "TrafficText.h"

#include <QFontMetrics>
#include <QPainter>

#include <algorithm>
#include <cmath>
#include <iterator>

namespace {

// The colours the legend names: received blue, sent orange, as on most traffic graphs.
const QColor kRecvColor(0x1f, 0x6f, 0xc5);
const QColor kSentColor(0xe0, 0x6c, 0x00);
constexpr int kMinutesShown = 10;
constexpr double kKibi = 1024.0;

// An axis label: the rate in the unit that keeps it under 1,024, without trailing zeros.
QString AxisLabel(double dRate) {
    static const char* const kUnits[] = {" B/s", " KiB/s", " MiB/s", " GiB/s"};
    size_t nUnit = 0;
    while (dRate >= kKibi && nUnit + 1 < std::size(kUnits)) {
        dRate /= kKibi;
        ++nUnit;
    }
    return QString::number(dRate, 'g', 4) + QLatin1String(kUnits[nUnit]);
}

} // namespace

CRateGraph::CRateGraph(const CTrafficSampler& sampler, QWidget* pParent)
    : QWidget(pParent), m_sampler(sampler) {
    m_polySent.reserve(CTrafficSampler::kHistoryPoints);
    m_polyRecv.reserve(CTrafficSampler::kHistoryPoints);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setToolTip(QStringLiteral("Sent and received bytes a second over the last ten minutes, all "
                              "devices together; one point a second"));
    connect(&m_sampler, &CTrafficSampler::Sampled, this, qOverload<>(&QWidget::update));
}

QSize CRateGraph::sizeHint() const {
    return {640, 180};
}

QSize CRateGraph::minimumSizeHint() const {
    return {240, 110};
}

double CRateGraph::ScaleTop(double dPeak) {
    // At least 1 KiB/s, so that an idle graph does not magnify a few stray bytes.
    if (dPeak <= kKibi) {
        return kKibi;
    }
    double dUnit = kKibi;
    while (dPeak >= dUnit * kKibi && dUnit < kKibi * kKibi * kKibi) {
        dUnit *= kKibi;
    }
    const double dValue = dPeak / dUnit;
    const double dDecade = std::pow(10.0, std::floor(std::log10(dValue)));
    for (const double dStep : {1.0, 2.0, 5.0}) {
        if (dValue <= dStep * dDecade) {
            return dStep * dDecade * dUnit;
        }
    }
    // 10 x the decade; past 1,000 the next unit reads better (1,000 KiB/s -> 1 MiB/s).
    return dDecade >= 100 && dUnit < kKibi * kKibi * kKibi ? dUnit * kKibi : 10 * dDecade * dUnit;
}

void CRateGraph::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QPalette& pal = palette();
    painter.fillRect(rect(), pal.window());

    const QFontMetrics metrics(font());
    const int nCount = m_sampler.GetHistoryCount();
    double dPeak = 0;
    for (int n = 0; n < nCount; ++n) {
        dPeak = std::max({dPeak, m_sampler.GetHistorySent(n), m_sampler.GetHistoryRecv(n)});
    }
    const double dTop = ScaleTop(dPeak);
    const QString strTop = AxisLabel(dTop);
    const QString strMiddle = AxisLabel(dTop / 2);

    // Plot area: labels on the left, the legend above, the time axis below.
    const int nLabelWidth =
        std::max({metrics.horizontalAdvance(strTop), metrics.horizontalAdvance(strMiddle),
                  metrics.horizontalAdvance(QStringLiteral("0 B/s"))}) +
        8;
    const int nLine = metrics.height();
    const QRectF rcPlot(nLabelWidth, nLine + 6, width() - nLabelWidth - 8,
                        height() - 2 * nLine - 12);
    if (rcPlot.width() < 10 || rcPlot.height() < 10) {
        return;
    }
    painter.fillRect(rcPlot, pal.base());

    // Grid: three rate lines, a line every two minutes.
    painter.setPen(QPen(pal.mid().color(), 0, Qt::DotLine));
    for (int n = 0; n <= 2; ++n) {
        const double dY = rcPlot.top() + rcPlot.height() * n / 2;
        painter.drawLine(QPointF(rcPlot.left(), dY), QPointF(rcPlot.right(), dY));
    }
    for (int nMinute = 0; nMinute <= kMinutesShown; nMinute += 2) {
        const double dX = rcPlot.left() + rcPlot.width() * nMinute / kMinutesShown;
        painter.drawLine(QPointF(dX, rcPlot.top()), QPointF(dX, rcPlot.bottom()));
    }
    painter.setPen(pal.text().color());
    painter.drawRect(rcPlot);

    painter.setPen(pal.windowText().color());
    const auto drawLabel = [&](double dY, const QString& strText) {
        painter.drawText(QRectF(0, dY - nLine / 2.0, nLabelWidth - 4, nLine),
                         Qt::AlignRight | Qt::AlignVCenter, strText);
    };
    drawLabel(rcPlot.top(), strTop);
    drawLabel(rcPlot.center().y(), strMiddle);
    drawLabel(rcPlot.bottom(), QStringLiteral("0 B/s"));
    for (int nMinute = 0; nMinute <= kMinutesShown; nMinute += 2) {
        const double dX = rcPlot.left() + rcPlot.width() * nMinute / kMinutesShown;
        const QString strText = nMinute == kMinutesShown
                                    ? QStringLiteral("now")
                                    : QStringLiteral("-%1 min").arg(kMinutesShown - nMinute);
        const int nWidth = metrics.horizontalAdvance(strText);
        const double dLeft = std::clamp(dX - nWidth / 2.0, 0.0, width() - nWidth - 1.0);
        painter.drawText(QPointF(dLeft, rcPlot.bottom() + 4 + metrics.ascent()), strText);
    }

    // The legend, with the newest rates.
    const TrafficSample& latest = m_sampler.GetLatest();
    double dX = rcPlot.left();
    for (const auto& [color, strText] :
         {std::pair{kRecvColor, QStringLiteral("Received %1").arg(FormatRate(latest.dRecvRate))},
          std::pair{kSentColor, QStringLiteral("Sent %1").arg(FormatRate(latest.dSentRate))}}) {
        painter.fillRect(QRectF(dX, 3 + nLine / 2.0 - 1.5, 14, 3), color);
        painter.setPen(pal.windowText().color());
        painter.drawText(QPointF(dX + 18, 3 + metrics.ascent()), strText);
        dX += 18 + metrics.horizontalAdvance(strText) + 16;
    }

    if (nCount == 0) {
        return;
    }
    // Point n of nCount sits (nCount - 1 - n) seconds left of the right edge.
    const double dStep = rcPlot.width() / (CTrafficSampler::kHistoryPoints - 1);
    const double dScale = rcPlot.height() / dTop;
    m_polySent.resize(nCount);
    m_polyRecv.resize(nCount);
    for (int n = 0; n < nCount; ++n) {
        const double dPointX = rcPlot.right() - (nCount - 1 - n) * dStep;
        m_polySent[n] = QPointF(dPointX, rcPlot.bottom() - m_sampler.GetHistorySent(n) * dScale);
        m_polyRecv[n] = QPointF(dPointX, rcPlot.bottom() - m_sampler.GetHistoryRecv(n) * dScale);
    }
    painter.setClipRect(rcPlot);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(kRecvColor, 1.5));
    painter.drawPolyline(m_polyRecv);
    painter.setPen(QPen(kSentColor, 1.5));
    painter.drawPolyline(m_polySent);
}
