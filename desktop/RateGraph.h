#pragma once

#include <QPolygonF>
#include <QWidget>

class CTrafficSampler;

// The total sent and received rates of the last ten minutes, one point a second, newest at the
// right. Painted directly from the sampler's fixed rings into two polygons that keep their
// capacity: a repaint allocates nothing once the rings are full.
class CRateGraph : public QWidget {
    Q_OBJECT

public:
    // The sampler must outlive the graph; a repaint follows each of its samples.
    explicit CRateGraph(const CTrafficSampler& sampler, QWidget* pParent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    // The scale's top for a peak rate: 1, 2 or 5 times a power of ten in the unit (of 1,024) that
    // shows it, at least 1 KiB/s, so that the axis labels read as round numbers.
    static double ScaleTop(double dPeak);

protected:
    // User-interface thread, at most once per sample: reads the sampler, allocates nothing once
    // the polygons hold ten minutes.
    void paintEvent(QPaintEvent* pEvent) override;

private:
    const CTrafficSampler& m_sampler;
    QPolygonF m_polySent;
    QPolygonF m_polyRecv;
};
