#include "RateGraph.h"

#include "TimedSampler.h"
#include "TrafficText.h"

#include <QCheckBox>
#include <QFontMetrics>
#include <QMouseEvent>
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
constexpr double kLargestUnit = kKibi * kKibi * kKibi;

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

// The logarithmic axis's lines, bottom up: 1, 10 and 100 of each unit of 1,024, from 100 B/s.
// Calls fn(dRate) for each up to dTop.
template <typename TFn> void ForEachLogLine(double dTop, TFn&& fn) {
    for (double dUnit = 1; dUnit <= kLargestUnit * kKibi; dUnit *= kKibi) {
        for (const double dStep : {1.0, 10.0, 100.0}) {
            const double dRate = dStep * dUnit;
            if (dRate > dTop * 1.0001) {
                return;
            }
            if (dRate >= CRateGraph::kLogBottom) {
                fn(dRate);
            }
        }
    }
}

// "now", "12 s ago", "3 min 5 s ago".
QString Ago(int nSeconds) {
    if (nSeconds == 0) {
        return QStringLiteral("now");
    }
    if (nSeconds < 60) {
        return QStringLiteral("%1 s ago").arg(nSeconds);
    }
    return QStringLiteral("%1 min %2 s ago").arg(nSeconds / 60).arg(nSeconds % 60);
}

} // namespace

CRateGraph::CRateGraph(const CTimedSampler& sampler, QWidget* pParent)
    : QWidget(pParent), m_sampler(sampler) {
    m_polySent.reserve(CTimedSampler::kHistoryPoints);
    m_polyRecv.reserve(CTimedSampler::kHistoryPoints);
    setAttribute(Qt::WA_OpaquePaintEvent);
    // The pointer's point is told in the graph itself: a tooltip would cover the lines.
    setMouseTracking(true);
    m_pCheckLog = new QCheckBox(QStringLiteral("&Logarithmic scale"), this);
    m_pCheckLog->setObjectName(QStringLiteral("IDC_LOG_SCALE"));
    m_pCheckLog->setToolTip(QStringLiteral("Small rates stay visible beside large ones"));
    // User-interface thread, on a click: redraws on the other axis and says so.
    connect(m_pCheckLog, &QCheckBox::toggled, this, [this](bool bChecked) {
        m_bLogarithmic = bChecked;
        update();
        emit LogarithmicChanged(bChecked);
    });
    connect(&m_sampler, &CTimedSampler::Sampled, this, qOverload<>(&QWidget::update));
}

QSize CRateGraph::sizeHint() const {
    return {640, 180};
}

QSize CRateGraph::minimumSizeHint() const {
    return {240, 110};
}

void CRateGraph::SetLogarithmic(bool bLogarithmic) {
    const QSignalBlocker blocker(m_pCheckLog);
    m_pCheckLog->setChecked(bLogarithmic);
    m_bLogarithmic = bLogarithmic;
    update();
}

double CRateGraph::ScaleTop(double dPeak) {
    // At least 1 KiB/s, so that an idle graph does not magnify a few stray bytes.
    if (dPeak <= kKibi) {
        return kKibi;
    }
    double dUnit = kKibi;
    while (dPeak >= dUnit * kKibi && dUnit < kLargestUnit) {
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
    return dDecade >= 100 && dUnit < kLargestUnit ? dUnit * kKibi : 10 * dDecade * dUnit;
}

double CRateGraph::LogScaleTop(double dPeak) {
    const double dWanted = std::max(dPeak, 10 * kKibi);
    double dTop = kLargestUnit * kKibi * 100;
    ForEachLogLine(dTop, [&](double dRate) {
        if (dRate >= dWanted) {
            dTop = std::min(dTop, dRate);
        }
    });
    return dTop;
}

double CRateGraph::HeightOf(double dRate, double dTop) const {
    if (!m_bLogarithmic) {
        return dRate / dTop;
    }
    return std::log(std::max(dRate, kLogBottom) / kLogBottom) / std::log(dTop / kLogBottom);
}

int CRateGraph::PointAt(double dX) const {
    const int nCount = m_sampler.GetHistoryCount();
    if (dX < m_rcPlot.left() || dX > m_rcPlot.right() || nCount == 0) {
        return -1;
    }
    const double dStep = m_rcPlot.width() / (CTimedSampler::kHistoryPoints - 1);
    const int nAgo = static_cast<int>(std::lround((m_rcPlot.right() - dX) / dStep));
    return nAgo < nCount ? nCount - 1 - nAgo : -1;
}

QString CRateGraph::GetHoverText() const {
    const int nPoint = m_dHoverX < 0 ? -1 : PointAt(m_dHoverX);
    if (nPoint < 0) {
        return {};
    }
    return QStringLiteral("%1: received %2, sent %3")
        .arg(Ago(m_sampler.GetHistoryCount() - 1 - nPoint),
             RateText(m_sampler.GetHistoryRecv(nPoint)),
             RateText(m_sampler.GetHistorySent(nPoint)));
}

void CRateGraph::resizeEvent(QResizeEvent* pEvent) {
    QWidget::resizeEvent(pEvent);
    // Top right, in the legend's line.
    const QSize size = m_pCheckLog->sizeHint();
    m_pCheckLog->setGeometry(width() - size.width() - 8, 0, size.width(), size.height());
}

void CRateGraph::mouseMoveEvent(QMouseEvent* pEvent) {
    m_dHoverX = pEvent->position().x();
    update();
}

void CRateGraph::leaveEvent(QEvent* pEvent) {
    m_dHoverX = -1;
    update();
    QWidget::leaveEvent(pEvent);
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
    const double dTop = m_bLogarithmic ? LogScaleTop(dPeak) : ScaleTop(dPeak);
    const QString strTop = AxisLabel(dTop);
    const QString strBottom = AxisLabel(m_bLogarithmic ? kLogBottom : 0);

    // Plot area: labels on the left, the legend above, the time axis below.
    const int nLabelWidth =
        std::max({metrics.horizontalAdvance(strTop), metrics.horizontalAdvance(strBottom),
                  metrics.horizontalAdvance(QStringLiteral("100 KiB/s"))}) +
        8;
    const int nLine = metrics.height();
    const int nTopMargin = std::max(nLine, m_pCheckLog->height()) + 4;
    m_rcPlot = QRectF(nLabelWidth, nTopMargin, width() - nLabelWidth - 8,
                      height() - nTopMargin - nLine - 6);
    const QRectF& rcPlot = m_rcPlot;
    if (rcPlot.width() < 10 || rcPlot.height() < 10) {
        return;
    }
    painter.fillRect(rcPlot, pal.base());
    const auto yOf = [&](double dRate) {
        return rcPlot.bottom() - rcPlot.height() * std::min(HeightOf(dRate, dTop), 1.0);
    };

    // Grid: rate lines (three, or each step of the logarithmic axis), a line every two minutes.
    // Labels where they fit under the one above.
    QPen penGrid(pal.mid().color(), 0, Qt::DotLine);
    const auto drawLabel = [&](double dY, const QString& strText) {
        painter.setPen(pal.windowText().color());
        painter.drawText(QRectF(0, dY - nLine / 2.0, nLabelWidth - 4, nLine),
                         Qt::AlignRight | Qt::AlignVCenter, strText);
    };
    const auto drawRateLine = [&](double dRate, double& dLastLabelY) {
        const double dY = yOf(dRate);
        painter.setPen(penGrid);
        painter.drawLine(QPointF(rcPlot.left(), dY), QPointF(rcPlot.right(), dY));
        if (dLastLabelY - dY >= nLine) {
            drawLabel(dY, AxisLabel(dRate));
            dLastLabelY = dY;
        }
    };
    double dLastLabelY = rcPlot.bottom() + nLine;
    if (m_bLogarithmic) {
        ForEachLogLine(dTop, [&](double dRate) { drawRateLine(dRate, dLastLabelY); });
    } else {
        for (const double dRate : {0.0, dTop / 2, dTop}) {
            drawRateLine(dRate, dLastLabelY);
        }
    }
    painter.setPen(penGrid);
    for (int nMinute = 0; nMinute <= kMinutesShown; nMinute += 2) {
        const double dX = rcPlot.left() + rcPlot.width() * nMinute / kMinutesShown;
        painter.drawLine(QPointF(dX, rcPlot.top()), QPointF(dX, rcPlot.bottom()));
    }
    painter.setPen(pal.text().color());
    painter.drawRect(rcPlot);

    painter.setPen(pal.windowText().color());
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
         {std::pair{kRecvColor, QStringLiteral("Received %1").arg(RateText(latest.dRecvRate))},
          std::pair{kSentColor, QStringLiteral("Sent %1").arg(RateText(latest.dSentRate))}}) {
        painter.fillRect(QRectF(dX, 3 + nLine / 2.0 - 1.5, 14, 3), color);
        painter.setPen(pal.windowText().color());
        painter.drawText(QPointF(dX + 18, 3 + metrics.ascent()), strText);
        dX += 18 + metrics.horizontalAdvance(strText) + 16;
    }

    if (nCount == 0) {
        return;
    }
    // Point n of nCount sits (nCount - 1 - n) seconds left of the right edge.
    const double dStep = rcPlot.width() / (CTimedSampler::kHistoryPoints - 1);
    m_polySent.resize(nCount);
    m_polyRecv.resize(nCount);
    for (int n = 0; n < nCount; ++n) {
        const double dPointX = rcPlot.right() - (nCount - 1 - n) * dStep;
        m_polySent[n] = QPointF(dPointX, yOf(m_sampler.GetHistorySent(n)));
        m_polyRecv[n] = QPointF(dPointX, yOf(m_sampler.GetHistoryRecv(n)));
    }
    painter.save();
    painter.setClipRect(rcPlot);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(kRecvColor, 1.5));
    painter.drawPolyline(m_polyRecv);
    painter.setPen(QPen(kSentColor, 1.5));
    painter.drawPolyline(m_polySent);
    painter.restore();

    // The point under the pointer: a line through it and its rates in a box beside it.
    const int nHover = m_dHoverX < 0 ? -1 : PointAt(m_dHoverX);
    if (nHover < 0) {
        return;
    }
    const double dHoverX = m_polyRecv[nHover].x();
    painter.setPen(QPen(pal.text().color(), 0, Qt::DashLine));
    painter.drawLine(QPointF(dHoverX, rcPlot.top()), QPointF(dHoverX, rcPlot.bottom()));
    const QString strHover = GetHoverText();
    const QRectF rcText(0, 0, metrics.horizontalAdvance(strHover) + 10, nLine + 6);
    // Right of the line while there is room, else left of it.
    const double dBoxX =
        dHoverX + 6 + rcText.width() <= rcPlot.right() ? dHoverX + 6 : dHoverX - 6 - rcText.width();
    const QRectF rcBox = rcText.translated(std::max(dBoxX, rcPlot.left()), rcPlot.top() + 4);
    painter.fillRect(rcBox, pal.toolTipBase());
    painter.setPen(pal.toolTipText().color());
    painter.drawRect(rcBox);
    painter.drawText(rcBox, Qt::AlignCenter, strHover);
}
