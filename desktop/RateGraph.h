#pragma once

#include <QPolygonF>
#include <QWidget>

class CTimedSampler;
class QCheckBox;

// The total sent and received rates of the last ten minutes, one point a second, newest at the
// right, on a linear axis or, ticked, a logarithmic one that keeps small rates visible after a
// burst. The rates under the mouse pointer are shown with their time. Painted directly from the
// sampler's fixed rings into two polygons that keep their capacity: a repaint allocates nothing
// once the rings are full.
class CRateGraph : public QWidget {
    Q_OBJECT

public:
    // The sampler must outlive the graph; a repaint follows each of its samples.
    explicit CRateGraph(const CTimedSampler& sampler, QWidget* pParent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    // User-interface thread: the axis; also ticks the box.
    void SetLogarithmic(bool bLogarithmic);
    bool IsLogarithmic() const { return m_bLogarithmic; }
    // The plot area of the last paint, in widget coordinates.
    QRectF GetPlotRect() const { return m_rcPlot; }
    // What the graph shows of the point under the mouse pointer ("" when the pointer is away):
    // "12 s ago: received 5.0 MiB/s, sent 1.2 KiB/s".
    QString GetHoverText() const;

    // The linear scale's top for a peak rate: 1, 2 or 5 times a power of ten in the unit (of
    // 1,024) that shows it, at least 1 KiB/s, so that the axis labels read as round numbers.
    static double ScaleTop(double dPeak);
    // The logarithmic scale's top for a peak rate: 1, 10 or 100 in a unit of 1,024, at least
    // 10 KiB/s; its bottom is kLogBottom.
    static double LogScaleTop(double dPeak);
    static constexpr double kLogBottom = 100.0;

signals:
    // User-interface thread, when the user ticks or unticks the logarithmic scale; receivers
    // must not block.
    void LogarithmicChanged(bool bLogarithmic);

protected:
    // User-interface thread, at most once per sample and on pointer moves: reads the sampler,
    // allocates nothing once the polygons hold ten minutes.
    void paintEvent(QPaintEvent* pEvent) override;
    void resizeEvent(QResizeEvent* pEvent) override;
    void mouseMoveEvent(QMouseEvent* pEvent) override;
    void leaveEvent(QEvent* pEvent) override;

private:
    // How high a rate is drawn, 0 (bottom) to 1 (top), on a scale up to dTop.
    double HeightOf(double dRate, double dTop) const;
    // The sampler's point under x, -1 when none is.
    int PointAt(double dX) const;

    const CTimedSampler& m_sampler;
    QCheckBox* m_pCheckLog = nullptr;
    bool m_bLogarithmic = false;
    QRectF m_rcPlot;
    double m_dHoverX = -1; // the pointer's x, negative when it is not over the graph
    QPolygonF m_polySent;
    QPolygonF m_polyRecv;
};
