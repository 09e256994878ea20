#pragma once

#include "DetailsSource.h"
#include "TrafficSampler.h"

#include <QObject>
#include <QTimer>

#include <chrono>

// The window's sampler: reads the source once a period on the user-interface thread into the
// model's sampler, whose samples the Details window, the counters' tooltips and the tray show,
// and tells them. Capture threads are never waited for: the snapshot reads counters they publish.
class CTimedSampler final : public QObject, public CTrafficSampler {
    Q_OBJECT

public:
    // The source must outlive the sampler; nothing is read before Start.
    explicit CTimedSampler(const IDetailsSource& source, QObject* pParent = nullptr);

    // User-interface thread: takes a first sample and one a period from then on.
    void Start();
    // User-interface thread: reads the source now, as the timer does (tests call it directly).
    void Sample(std::chrono::steady_clock::time_point tNow = std::chrono::steady_clock::now());
    // User-interface thread, before a Capture: drops are counted from here on.
    void MarkCapture();

signals:
    // User-interface thread, after every sample; receivers must not block.
    void Sampled();

private:
    const IDetailsSource& m_source;
    QTimer m_timerSample;
};
